# Sources of the FAT engine and run (bootfat only).
set(BOOT_FAT_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/fastfat2.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fatsubs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fatcheck.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fatwalk.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fatprogram.cpp
  ${CMAKE_CURRENT_LIST_DIR}/movefat.cpp
  ${CMAKE_CURRENT_LIST_DIR}/movedirs.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fatpage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/bootfat.cpp
)
