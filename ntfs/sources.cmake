# Sources of the NTFS engine and run (bootntfs only).
set(BOOT_NTFS_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/ntfssubs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/offnsubs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ntfssetup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/allocheck.cpp
  ${CMAKE_CURRENT_LIST_DIR}/moventfs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/consolidate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/mftmin.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pagestages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bootntfs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ntfsprogram.cpp
)
