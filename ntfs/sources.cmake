# Sources of the NTFS engine and run (bootntfs only).
set(BOOT_NTFS_SOURCES
)
