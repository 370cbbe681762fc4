# Cross build for Windows with Debian's mingw-w64 GCC, for the processor the
# including toolchain file names in mingw_cpu: i686 (32-bit, the file that
# ships) or x86_64 (64-bit, for hosts and systems without 32-bit programs).
#
# Debian ships each compiler in two thread models. VELTRIN_THREAD_MODEL picks:
#   win32  (default) the compiler Veltrin.exe is released with: its runtime
#          uses Windows' own primitives, so no threads library is linked in;
#   posix  the one the tests are built with: std::thread and std::mutex, which
#          the tests and GoogleTest use, exist only in this model.
# Linked statically, the programs of both import only Windows system DLLs.
include(${CMAKE_CURRENT_LIST_DIR}/thread-model.cmake)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${mingw_cpu})
set(CMAKE_C_COMPILER ${mingw_cpu}-w64-mingw32-gcc-${VELTRIN_THREAD_MODEL})
set(CMAKE_CXX_COMPILER ${mingw_cpu}-w64-mingw32-g++-${VELTRIN_THREAD_MODEL})
set(CMAKE_RC_COMPILER ${mingw_cpu}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_cpu}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests run under Wine, in the build folder's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
