# Cross build for 32-bit Windows with Debian's mingw-w64 GCC: the build of
# Veltrin.exe that the product ships (see mingw.cmake).
set(mingw_cpu i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
