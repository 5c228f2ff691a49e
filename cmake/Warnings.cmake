# tarvik::warnings: the one warning set of every C++ target here (the
# module, its host, the simulator and its tests, the fuzzer), linked as an
# interface library.  Python's and GoogleTest's headers are system headers,
# so the set applies to our own code alone.
#
# TARVIK_WERROR makes every warning an error; it is on by default when the
# environment has CI set, and `make test` turns it on.

if(DEFINED ENV{CI} AND NOT "$ENV{CI}" STREQUAL "")
  set(werror_default ON)
else()
  set(werror_default OFF)
endif()
option(TARVIK_WERROR "Treat compiler warnings as errors" ${werror_default})

add_library(tarvik_warnings INTERFACE)
add_library(tarvik::warnings ALIAS tarvik_warnings)
target_compile_options(tarvik_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion
  $<$<BOOL:${TARVIK_WERROR}>:-Werror>)
