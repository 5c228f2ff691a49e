# Finds the Python 2.7 interpreter with its headers and libpython2.7.
#
# Looked for, in this order: -DPYTHON27=/path/to/python2.7 (or the PYTHON27
# environment variable), -DPython2_ROOT_DIR=<prefix>, the pyenv version
# 2.7.18, then python2.7 on PATH.  Defines:
#   PYTHON27_EXECUTABLE        the interpreter
#   Python27::Headers          include directory, as system headers
#   Python27::Library          libpython2.7, for programs that embed it;
#                              defined only where the library is there
#                              (the extension module itself never links it)

if(NOT PYTHON27 AND DEFINED ENV{PYTHON27})
  set(PYTHON27 "$ENV{PYTHON27}")
endif()
if(NOT PYTHON27 AND Python2_ROOT_DIR)
  set(PYTHON27 "${Python2_ROOT_DIR}/bin/python2.7")
endif()
if(NOT PYTHON27)
  find_program(PYENV_PROGRAM pyenv)
  if(PYENV_PROGRAM)
    execute_process(COMMAND "${PYENV_PROGRAM}" prefix 2.7.18
                    OUTPUT_VARIABLE pyenv_prefix OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE pyenv_status ERROR_QUIET)
    if(pyenv_status EQUAL 0 AND EXISTS "${pyenv_prefix}/bin/python2.7")
      set(PYTHON27 "${pyenv_prefix}/bin/python2.7")
    endif()
  endif()
endif()
if(NOT PYTHON27)
  find_program(PYTHON27 python2.7)
endif()
if(NOT PYTHON27 OR NOT EXISTS "${PYTHON27}")
  message(FATAL_ERROR
    "Python 2.7 was not found. Install it (for example `pyenv install 2.7.18`) "
    "or name the interpreter with -DPYTHON27=/path/to/python2.7.")
endif()

execute_process(
  COMMAND "${PYTHON27}" -c
    "import sys, sysconfig; v = sysconfig.get_config_var; print(';'.join(['%d.%d' % sys.version_info[:2], sysconfig.get_paths()['include'], v('LIBDIR') or '', v('LDLIBRARY') or '']))"
  OUTPUT_VARIABLE python27_facts OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE python27_status)
if(NOT python27_status EQUAL 0)
  message(FATAL_ERROR "${PYTHON27} does not run; it cannot be used to build the module.")
endif()
list(GET python27_facts 0 python27_version)
list(GET python27_facts 1 python27_include)
list(GET python27_facts 2 python27_libdir)
list(GET python27_facts 3 python27_ldlibrary)
if(NOT python27_version STREQUAL "2.7")
  message(FATAL_ERROR "${PYTHON27} is Python ${python27_version}; the module needs Python 2.7.")
endif()
if(NOT EXISTS "${python27_include}/Python.h")
  message(FATAL_ERROR "Python 2.7 headers are missing: ${python27_include}/Python.h not found.")
endif()
set(python27_library "${python27_libdir}/${python27_ldlibrary}")

set(PYTHON27_EXECUTABLE "${PYTHON27}" CACHE FILEPATH "Python 2.7 interpreter" FORCE)
message(STATUS "Python 2.7: ${PYTHON27_EXECUTABLE}")

add_library(Python27::Headers INTERFACE IMPORTED)
set_target_properties(Python27::Headers PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${python27_include}")
set_property(TARGET Python27::Headers PROPERTY INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${python27_include}")

if(EXISTS "${python27_library}")
  add_library(Python27::Library SHARED IMPORTED)
  set_target_properties(Python27::Library PROPERTIES
    IMPORTED_LOCATION "${python27_library}"
    INTERFACE_LINK_LIBRARIES Python27::Headers)
else()
  message(STATUS "libpython2.7 not found (${python27_library}): the demonstration host and the fuzzer cannot be built")
endif()
