# The Windows build (cmake/mingw-w64.cmake): how its programs run on this
# host, and GoogleTest for its test programs.

# Wine's loader for the build's processor: wine64 for x86_64, wine for i686
# (the latter needs a host that runs 32-bit programs).
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(qv_wine_name wine64)
else()
  set(qv_wine_name wine)
endif()
find_program(QV_WINE NAMES ${qv_wine_name} PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(QV_WINESERVER NAMES wineserver PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(QV_WINE AND QV_WINESERVER)
  set(QV_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  configure_file(${PROJECT_SOURCE_DIR}/scripts/wine-run.in ${CMAKE_BINARY_DIR}/wine-run
                 @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                 GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)
else()
  message(STATUS "Wine's ${qv_wine_name} not found: the Windows programs build but cannot be run here")
endif()

# qv_windows_gtest(): GoogleTest from Debian's source package (googletest),
# built with the cross compiler; its targets carry the names GTest:: too.
macro(qv_windows_gtest)
  set(qv_gtest_src /usr/src/googletest)
  if(EXISTS ${qv_gtest_src}/CMakeLists.txt AND CMAKE_CROSSCOMPILING_EMULATOR)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${qv_gtest_src} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
    set(GTest_FOUND TRUE)
  endif()
endmacro()
