# The Debian package, made by `cpack -G DEB` from the install rules: the
# program, its ASPI layers, qvimage, the manual pages, the README, the
# copyright and changelog files where Debian expects them. The Windows build
# makes a zip instead.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/zip.cmake)
  return()
endif()

set(qv_docdir share/doc/${PROJECT_NAME})

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/packaging/copyright
        DESTINATION ${qv_docdir})
qv_gzip_install(${PROJECT_SOURCE_DIR}/packaging/changelog ${qv_docdir} RENAME changelog.gz)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "qvupdate developers <qvupdate@users.noreply.dravlin.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Dravlin CD-ROM and CD-R drives")
# CPack puts the summary first and indents every line of this by one blank.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"qvupdate writes new firmware into the flash memory of Dravlin CD-ROM and
CD-R drives on SCSI, SATA and USB host adapters. It checks a firmware image
(its identity text and checksum), finds the drives of the image's model,
asks for confirmation, refuses while a disc is loaded, transfers the image
and reports the firmware version before and after.
.
It reaches the drives through the Linux SCSI generic driver (/dev/sg*).
qvimage shows what a firmware image is before it goes near a drive. A
simulated bus with virtual drives is included for trying the program
without risk.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The Depends come from dpkg-shlibdeps in depends.cmake rather than CPack's
# scan, which would add maintainer scripts that run ldconfig for the ASPI
# layers; the package needs no maintainer script at all.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/depends.cmake)
# What finds a drive's node and address (lsscsi -g) and talks to it without
# this program (sg_inq, sg_write_buffer).
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "sg3-utils, lsscsi")
set(CPACK_STRIP_FILES ON)
# Only the product: neither tests nor benchmarks install anything.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
