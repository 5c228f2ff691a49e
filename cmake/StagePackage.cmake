# Copies the companion modules and pySerial into ${TARVIK_PYTHON_TREE}.
# Only .py files are staged from the source tree, so the compiled module is
# the only `hdlcprotocol` a staged import can find.

file(GLOB_RECURSE companion_sources CONFIGURE_DEPENDS
     RELATIVE "${CMAKE_SOURCE_DIR}/src" "${CMAKE_SOURCE_DIR}/src/tarvik/*.py")
# The source tree's stand-in for the unbuilt module is left out.
list(REMOVE_ITEM companion_sources tarvik/brenlo/hdlcprotocol.py)
foreach(source IN LISTS companion_sources)
  configure_file("${CMAKE_SOURCE_DIR}/src/${source}" "${TARVIK_PYTHON_TREE}/${source}" COPYONLY)
endforeach()

# pySerial is pure Python and runs unchanged on 2.7; Debian ships it for
# Python 3 only, so its package is copied into the tree.
find_path(PYSERIAL_DIR serial/__init__.py
          PATHS /usr/lib/python3/dist-packages /usr/local/lib/python3/dist-packages
          NO_DEFAULT_PATH)
if(PYSERIAL_DIR)
  file(COPY "${PYSERIAL_DIR}/serial" DESTINATION "${TARVIK_PYTHON_TREE}"
       PATTERN "__pycache__" EXCLUDE PATTERN "*.pyc" EXCLUDE)
else()
  message(WARNING "pySerial not found (Debian package python3-serial); serial tests and the demonstration will fail. Run scripts/setup.sh.")
endif()
