# The environment every Python program of this build runs in (the suites,
# the memcheck runs, the fuzzer, the demonstration, the benchmarks), stated
# here once:
#
#   PYTHONPATH                 the interpreter's staged package tree, then
#                              tests/ for the shared `support` package
#   PYTHONDONTWRITEBYTECODE=1  no .pyc or __pycache__ in the source tree
#   TARVIK_PYTHON              the interpreter
#   TARVIK_SIMULATOR           the meter simulator
#   TARVIK_DEMO_HOST           the demonstration host of that interpreter
#
# tarvik_python_environment(<out> <tag> [TREE <tree>]) sets <out> to that
# list (NAME=value items, generator expressions allowed) for the interpreter
# <tag>, with another package tree if TREE is given.
#
# tarvik_python_launchers(<tag>) writes two scripts into the build folder,
# for scripts/ and for people:
#   build/env-<tag> COMMAND ...   runs COMMAND in that environment
#   build/python-<tag> ARGS ...   runs the interpreter in it, e.g.
#                                 build/python-py3 -m tarvik.brenlo.trace demo.txt

function(tarvik_python_environment out tag)
  cmake_parse_arguments(arg "" "TREE" "" ${ARGN})
  if(NOT arg_TREE)
    set(arg_TREE "${TARVIK_${tag}_TREE}")
  endif()
  set(environment
    "PYTHONPATH=${arg_TREE}:${CMAKE_SOURCE_DIR}/tests"
    "PYTHONDONTWRITEBYTECODE=1"
    "TARVIK_PYTHON=${TARVIK_${tag}_EXECUTABLE}"
    "TARVIK_SIMULATOR=$<TARGET_FILE:meter_simulator>")
  if(TARGET hdlcprotocol_demo_${tag})
    list(APPEND environment "TARVIK_DEMO_HOST=$<TARGET_FILE:hdlcprotocol_demo_${tag}>")
  endif()
  set(${out} "${environment}" PARENT_SCOPE)
endfunction()

function(tarvik_python_launchers tag)
  tarvik_python_environment(environment ${tag})
  set(exports "")
  foreach(item IN LISTS environment)
    string(REGEX REPLACE "^([^=]*)=(.*)$" "export \\1='\\2'\n" line "${item}")
    string(APPEND exports "${line}")
  endforeach()
  foreach(launcher env python)
    if(launcher STREQUAL "env")
      set(run "exec \"$@\"")
    else()
      set(run "exec \"$TARVIK_PYTHON\" \"$@\"")
    endif()
    file(GENERATE OUTPUT "${CMAKE_BINARY_DIR}/${launcher}-${tag}"
         CONTENT "#!/bin/sh\n# The build's ${tag} environment (written by CMake).\n${exports}${run}\n"
         FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                          WORLD_READ WORLD_EXECUTE)
  endforeach()
endfunction()
