# Sources of the runtime frame, compiled into both programs.
set(BOOT_COMMON_SOURCES
)
