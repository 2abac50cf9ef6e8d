# Cross build for Windows with Debian's MinGW-w64 compilers. QV_WINDOWS_ARCH
# picks the processor: i686 (the default) makes the 32-bit programs that can
# load the 32-bit ASPI layers people have installed; x86_64 makes the same
# programs for 64-bit Windows, the ones a 64-bit Wine runs on a host without
# 32-bit user code.
set(CMAKE_SYSTEM_NAME Windows)
set(QV_WINDOWS_ARCH i686 CACHE STRING "Windows processor: i686 or x86_64")
set_property(CACHE QV_WINDOWS_ARCH PROPERTY STRINGS i686 x86_64)
set(CMAKE_SYSTEM_PROCESSOR ${QV_WINDOWS_ARCH})
set(qv_triple ${QV_WINDOWS_ARCH}-w64-mingw32)

# The posix thread model: the C++ library's threads, mutexes and condition
# variables on winpthreads, linked in statically like the rest.
set(CMAKE_C_COMPILER ${qv_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${qv_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${qv_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${qv_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs and the DLL carry the C and C++ runtimes inside: nothing but
# Windows' own DLLs is needed beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
