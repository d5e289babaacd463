# 32-bit x86 Windows (Windows NT 4.0, Windows 2000): build-win32/.
set(MINGW_W64_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
