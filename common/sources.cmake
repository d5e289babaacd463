# Sources of the runtime frame, compiled into both programs.
set(BOOT_COMMON_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/voldata.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dasdread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/freespac.cpp
  ${CMAKE_CURRENT_LIST_DIR}/extents.cpp
)
