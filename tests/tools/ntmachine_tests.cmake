# Tests of the machine tool (included from tests/tools/CMakeLists.txt).
# They run the built ntmachine; the boot tests use a small native program
# of their own that asks for a reboot.
add_executable(ntmachine_reboot_probe ${CMAKE_CURRENT_LIST_DIR}/ntmachine_reboot_probe.cpp
                                      $<TARGET_OBJECTS:ntplatform_entry>)
target_link_libraries(ntmachine_reboot_probe PRIVATE ntplatform)

function(ntmachine_test name labels)
  add_executable(${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  target_link_libraries(${name} PRIVATE ntmachine_lib GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE NTMACHINE="$<TARGET_FILE:ntmachine>"
                                             REBOOT_PROBE="$<TARGET_FILE:ntmachine_reboot_probe>")
  add_dependencies(${name} ntmachine ntmachine_reboot_probe)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${labels}" TIMEOUT 600)
endfunction()

ntmachine_test(ntmachine_machine_test "unit")
ntmachine_test(ntmachine_boot_test "unit")
ntmachine_test(ntmachine_schedule_test "image")
ntmachine_test(ntmachine_frag_test "image")
ntmachine_test(ntmachine_demo_test "image")
