# tarvik_stage_package(TREE): copies the companion modules and pySerial
# into the package tree TREE, where the module of one interpreter is built
# beside them.  Only .py files are staged from the source tree, so the
# compiled module is the only `hdlcprotocol` a staged import can find.

file(GLOB_RECURSE companion_sources CONFIGURE_DEPENDS
     RELATIVE "${CMAKE_SOURCE_DIR}/src" "${CMAKE_SOURCE_DIR}/src/tarvik/*.py")
# The source tree's stand-in for the unbuilt module is left out.
list(REMOVE_ITEM companion_sources tarvik/brenlo/hdlcprotocol.py)
if(NOT TARVIK_PYSERIAL_DIR)
  message(WARNING "pySerial not found (Debian package python3-serial); serial tests and the demonstration will fail. Run scripts/setup.sh.")
endif()

function(tarvik_stage_package tree)
  foreach(source IN LISTS companion_sources)
    configure_file("${CMAKE_SOURCE_DIR}/src/${source}" "${tree}/${source}" COPYONLY)
  endforeach()
  if(TARVIK_PYSERIAL_DIR)
    file(COPY "${TARVIK_PYSERIAL_DIR}" DESTINATION "${tree}"
         PATTERN "__pycache__" EXCLUDE PATTERN "*.pyc" EXCLUDE)
  endif()
endfunction()
