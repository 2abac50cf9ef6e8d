# Run by cpack once the package's files are staged (CPACK_PRE_BUILD_SCRIPTS):
# the package's Depends, from dpkg-shlibdeps over every ELF file it installs.
# CPack's own scan (CPACK_DEBIAN_PACKAGE_SHLIBDEPS) would find the same, but
# it also takes any shared object below /usr/lib for one on ldconfig's path
# and adds a postinst and a postrm that run ldconfig. The ASPI layers are
# plugins the program loads by their path, so ldconfig has nothing to do, and
# a postrm alone keeps a removed package in dpkg's "rc" state until a purge.
set(staged "${CPACK_TEMPORARY_DIRECTORY}")
file(GLOB_RECURSE files LIST_DIRECTORIES false "${staged}/*")
set(elves)
foreach(f IN LISTS files)
  file(READ "${f}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    file(RELATIVE_PATH rel "${staged}" "${f}")
    list(APPEND elves "debian/${CPACK_PACKAGE_NAME}/${rel}")
  endif()
endforeach()
if(NOT elves)
  message(FATAL_ERROR "depends.cmake: no ELF file in ${staged}")
endif()

# dpkg-shlibdeps wants a source tree: debian/control, and the package's files
# below a folder with a DEBIAN folder. The staged files stay as they are; a
# link stands for each of their top folders.
set(tree "${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps")
set(pkgroot "${tree}/debian/${CPACK_PACKAGE_NAME}")
file(REMOVE_RECURSE "${tree}")
file(MAKE_DIRECTORY "${pkgroot}/DEBIAN")
file(WRITE "${tree}/debian/control" "")
file(GLOB tops RELATIVE "${staged}" "${staged}/*")
foreach(top IN LISTS tops)
  file(CREATE_LINK "${staged}/${top}" "${pkgroot}/${top}" SYMBOLIC)
endforeach()

execute_process(COMMAND dpkg-shlibdeps -O ${elves}
                WORKING_DIRECTORY "${tree}"
                RESULT_VARIABLE status
                OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
file(REMOVE_RECURSE "${tree}")
if(NOT status EQUAL 0 OR err OR NOT out MATCHES "^shlibs:Depends=([^\n]+)")
  message(FATAL_ERROR "depends.cmake: dpkg-shlibdeps ended with ${status}:\n${err}${out}")
endif()
if(CPACK_DEBIAN_PACKAGE_DEPENDS)
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", ${CMAKE_MATCH_1}")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
endif()
message(STATUS "depends.cmake: Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
