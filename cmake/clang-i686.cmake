# Cross build for 32-bit Windows with Debian's clang 14 and lld, over the
# mingw-w64 headers and import libraries and GCC's C++ runtime.
#
# Debian names GCC's runtime folders after the thread model ("12-win32",
# "12-posix"), which clang does not recognise as a GCC installation, so the
# C++ headers and libraries of the chosen model are named here.
# VELTRIN_THREAD_MODEL means what it means for mingw-i686.cmake: win32 (the
# default) for Veltrin.exe, posix for the tests, which need std::thread.
include(${CMAKE_CURRENT_LIST_DIR}/thread-model.cmake)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
# Every LLVM tool from the folder Debian's clang-14 and lld-14 install them in.
set(llvm /usr/lib/llvm-14/bin)
set(CMAKE_C_COMPILER ${llvm}/clang)
set(CMAKE_CXX_COMPILER ${llvm}/clang++)
set(CMAKE_C_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET i686-w64-mingw32)
set(CMAKE_RC_COMPILER ${llvm}/llvm-windres)
set(CMAKE_RC_FLAGS_INIT "--target=pe-i386")
set(CMAKE_AR ${llvm}/llvm-ar)
set(CMAKE_RANLIB ${llvm}/llvm-ranlib)
set(CMAKE_SYSROOT /usr/i686-w64-mingw32)

set(gcc_runtime /usr/lib/gcc/i686-w64-mingw32/12-${VELTRIN_THREAD_MODEL})
set(CMAKE_CXX_FLAGS_INIT "-isystem ${gcc_runtime}/include/c++ \
-isystem ${gcc_runtime}/include/c++/i686-w64-mingw32 -isystem ${gcc_runtime}/include/c++/backward")
# lld by its full path: Debian's lld-14 installs no plain "ld.lld" on the PATH.
# -B makes the driver take crtbegin.o and crtend.o from GCC's runtime folder
# rather than mingw-w64's: only GCC's register the DWARF unwind tables, and
# without them every thrown exception in the tests ends them. (Veltrin.exe
# itself links no start-up files and carries no such tables.)
set(linker_flags "-fuse-ld=lld --ld-path=${llvm}/ld.lld -B${gcc_runtime} -L${gcc_runtime}")
# GCC's posix-model driver links the threads library by itself; clang does
# not, and lld finds it wherever it stands on the command line.
if(VELTRIN_THREAD_MODEL STREQUAL "posix")
  string(APPEND linker_flags " -lpthread")
endif()
set(CMAKE_EXE_LINKER_FLAGS_INIT "${linker_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${linker_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${linker_flags}")

set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
