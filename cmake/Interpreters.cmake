# Finds the interpreters the module is built for, with CMake's FindPython2
# and FindPython3, and names each by a tag used in target and test names:
#
#   py2  Python 2.7 (TARVIK_PYTHON2, on by default).  Python2_EXECUTABLE or
#        the PYTHON27 environment variable names it; otherwise pyenv's
#        2.7.18, otherwise what FindPython2 finds.
#   py3  Python 3.9 or newer (TARVIK_PYTHON3, on by default).
#        Python3_EXECUTABLE names it; otherwise the first python3 on PATH
#        that has pySerial installed (on Debian: /usr/bin/python3 with
#        python3-serial, not an interpreter that lacks the tests' packages).
#
# Defines TARVIK_INTERPRETERS (the tags found, py2 first) and, for each
# tag, TARVIK_<tag>_EXECUTABLE, TARVIK_<tag>_MODULE (the headers target an
# extension builds with), TARVIK_<tag>_EMBED (the library target a program
# that embeds the interpreter links; empty when there is no libpython),
# TARVIK_<tag>_SUFFIX (the extension's file suffix), TARVIK_<tag>_INIT (the
# extension's one exported symbol) and TARVIK_<tag>_TREE (its staged
# package tree, ${CMAKE_BINARY_DIR}/python2 or python3), and
# TARVIK_PYSERIAL_DIR (pySerial's package folder, if there is one).

option(TARVIK_PYTHON2 "Build the module for Python 2.7" ON)
option(TARVIK_PYTHON3 "Build the module for Python 3" ON)
set(TARVIK_INTERPRETERS "")

# Stops with `how` unless FindPython<major> found the interpreter; records
# it under the tag py<major>.  A macro: it sets the caller's variables.
macro(tarvik_use_interpreter major what how)
  if(NOT Python${major}_FOUND)
    message(FATAL_ERROR "${what} was not found, with its headers (Python.h). ${how}")
  endif()
  list(APPEND TARVIK_INTERPRETERS py${major})
  set(TARVIK_py${major}_EXECUTABLE "${Python${major}_EXECUTABLE}")
  set(TARVIK_py${major}_MODULE Python${major}::Module)
  set(TARVIK_py${major}_EMBED "")
  if(TARGET Python${major}::Python)
    set(TARVIK_py${major}_EMBED Python${major}::Python)
  endif()
  set(TARVIK_py${major}_TREE "${CMAKE_BINARY_DIR}/python${major}")
endmacro()

if(TARVIK_PYTHON2)
  if(NOT Python2_EXECUTABLE AND NOT Python2_ROOT_DIR)
    if(DEFINED ENV{PYTHON27} AND NOT "$ENV{PYTHON27}" STREQUAL "")
      set(Python2_EXECUTABLE "$ENV{PYTHON27}")
    else()
      find_program(PYENV_PROGRAM pyenv)
      if(PYENV_PROGRAM)
        execute_process(COMMAND "${PYENV_PROGRAM}" prefix 2.7.18
                        OUTPUT_VARIABLE pyenv_prefix OUTPUT_STRIP_TRAILING_WHITESPACE
                        RESULT_VARIABLE pyenv_status ERROR_QUIET)
        if(pyenv_status EQUAL 0)
          set(Python2_ROOT_DIR "${pyenv_prefix}")
        endif()
      endif()
    endif()
  endif()
  find_package(Python2 2.7 EXACT COMPONENTS Interpreter Development.Module
               OPTIONAL_COMPONENTS Development.Embed)
  tarvik_use_interpreter(2 "Python 2.7"
    "Install it (pyenv install 2.7.18), name it with PYTHON27=/path/to/python2.7 or -DPython2_EXECUTABLE=..., or build for Python 3 alone with -DTARVIK_PYTHON2=OFF.")
  set(TARVIK_py2_SUFFIX ".so")
  set(TARVIK_py2_INIT inithdlcprotocol)
endif()

# pySerial is pure Python and one source for both interpreters: the first
# python3 on PATH that has it (Debian's, with python3-serial) shows where
# it is, and the staged trees get a copy of it.
function(tarvik_has_pyserial result candidate)
  execute_process(COMMAND "${candidate}" -c "import sys, serial; sys.exit(sys.version_info < (3, 9))"
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(NOT status EQUAL 0)
    set(${result} FALSE PARENT_SCOPE)
  endif()
endfunction()
find_program(TARVIK_PYTHON3_WITH_PYSERIAL python3 VALIDATOR tarvik_has_pyserial)
if(TARVIK_PYTHON3_WITH_PYSERIAL)
  execute_process(COMMAND "${TARVIK_PYTHON3_WITH_PYSERIAL}" -c "import os, serial; print(os.path.dirname(serial.__file__))"
                  OUTPUT_VARIABLE TARVIK_PYSERIAL_DIR OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

if(TARVIK_PYTHON3)
  if(NOT Python3_EXECUTABLE AND NOT Python3_ROOT_DIR AND TARVIK_PYTHON3_WITH_PYSERIAL)
    set(Python3_EXECUTABLE "${TARVIK_PYTHON3_WITH_PYSERIAL}")
  endif()
  find_package(Python3 3.9 COMPONENTS Interpreter Development.Module
               OPTIONAL_COMPONENTS Development.Embed)
  tarvik_use_interpreter(3 "Python 3.9 or newer"
    "On Debian: apt-get install python3-dev python3-serial (scripts/setup.sh does), name another with -DPython3_EXECUTABLE=..., or build for Python 2.7 alone with -DTARVIK_PYTHON3=OFF.")
  set(TARVIK_py3_SUFFIX ".${Python3_SOABI}.so")
  set(TARVIK_py3_INIT PyInit_hdlcprotocol)
endif()

if(NOT TARVIK_INTERPRETERS)
  message(FATAL_ERROR "Neither TARVIK_PYTHON2 nor TARVIK_PYTHON3 is on: there is nothing to build the module for.")
endif()
foreach(tag IN LISTS TARVIK_INTERPRETERS)
  message(STATUS "Module for ${tag}: ${TARVIK_${tag}_EXECUTABLE} -> ${TARVIK_${tag}_TREE}")
endforeach()
