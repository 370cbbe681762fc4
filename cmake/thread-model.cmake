# VELTRIN_THREAD_MODEL, shared by the Windows toolchain files: win32 (the
# default) for the released Veltrin.exe, posix for the tests, which need
# std::thread.
set(VELTRIN_THREAD_MODEL win32 CACHE STRING "Thread model of the compilers and C++ runtime: win32 or posix")
set_property(CACHE VELTRIN_THREAD_MODEL PROPERTY STRINGS win32 posix)
if(NOT VELTRIN_THREAD_MODEL MATCHES "^(win32|posix)$")
  message(FATAL_ERROR "VELTRIN_THREAD_MODEL must be win32 or posix, not '${VELTRIN_THREAD_MODEL}'")
endif()
# CMake's own compiler checks read this file again: they get the same model.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELTRIN_THREAD_MODEL)
