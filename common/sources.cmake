# Sources of the runtime frame, compiled once for both programs.
set(BOOT_COMMON_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/voldata.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dasdread.cpp
  ${CMAKE_CURRENT_LIST_DIR}/freespac.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bitcache.cpp
  ${CMAKE_CURRENT_LIST_DIR}/extents.cpp
  ${CMAKE_CURRENT_LIST_DIR}/entry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fssubs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/alloc.cpp
  ${CMAKE_CURRENT_LIST_DIR}/offline.cpp
  ${CMAKE_CURRENT_LIST_DIR}/setup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pagefile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pageprep.cpp
  ${CMAKE_CURRENT_LIST_DIR}/exclude.cpp
  ${CMAKE_CURRENT_LIST_DIR}/stages.cpp
)
