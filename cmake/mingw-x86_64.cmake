# Cross build for 64-bit Windows with Debian's mingw-w64 GCC: the same
# sources for systems without the 32-bit subsystem, and the Windows build
# tested on hosts that cannot run 32-bit programs (see mingw.cmake).
set(mingw_cpu x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
