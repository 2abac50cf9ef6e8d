# The Windows zip, made by `cpack -G ZIP` in the build folder of the preset
# windows: qvupdate-1.21-win32.zip with the programs at its top, the
# simulated ASPI layer in sim/ (loaded only when copied beside qvupdate.exe)
# and the README and copyright as text files with Windows line ends.
foreach(doc README.md packaging/copyright)
  get_filename_component(name ${doc} NAME_WE)
  file(READ ${PROJECT_SOURCE_DIR}/${doc} text)
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${CMAKE_BINARY_DIR}/doc/${name}.txt "${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${doc})
  install(FILES ${CMAKE_BINARY_DIR}/doc/${name}.txt DESTINATION .)
endforeach()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
