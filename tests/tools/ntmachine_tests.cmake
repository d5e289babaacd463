# Tests of the machine tool (included from tests/tools/CMakeLists.txt).
# They run the built ntmachine; the boot tests use a small native program
# of their own that asks for a reboot.
add_executable(ntmachine_reboot_probe ${CMAKE_CURRENT_LIST_DIR}/ntmachine_reboot_probe.cpp
                                      $<TARGET_OBJECTS:ntplatform_entry>)
target_link_libraries(ntmachine_reboot_probe PRIVATE ntplatform)

function(ntmachine_test name labels)
  test_program(${name} LABELS ${labels} TIMEOUT 600 SOURCES ${ARGN} LIBS ntmachine_lib
               DEFINITIONS NTMACHINE="$<TARGET_FILE:ntmachine>" REBOOT_PROBE="$<TARGET_FILE:ntmachine_reboot_probe>"
               DEPENDS ntmachine ntmachine_reboot_probe)
endfunction()

# Machine folders, drives and the boot (Session Manager) without images;
# then scheduling, fragmentation reports and the demo on made images.
ntmachine_test(ntmachine_unit_test unit ntmachine_machine_test.cpp ntmachine_boot_test.cpp ntmachine_rules_test.cpp)
ntmachine_test(ntmachine_image_test image ntmachine_schedule_test.cpp ntmachine_frag_test.cpp ntmachine_demo_test.cpp
               ntmachine_map_test.cpp ntmachine_why_test.cpp ntmachine_loop_test.cpp ntmachine_craft_support.cpp)
if(TARGET ntmachine_unit_test)
  target_compile_definitions(ntmachine_unit_test PRIVATE NTMACHINE_MAN="${NTMACHINE_MAN}")
endif()
if(TARGET ntmachine_image_test)
  target_link_libraries(ntmachine_image_test PRIVATE imgkit_internal)  # the craft helper's libntfs-3g headers
endif()
