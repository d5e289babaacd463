# 64-bit x86 Windows: build-win64/.
set(MINGW_W64_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
