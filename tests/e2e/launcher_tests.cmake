# End-to-end tests of the driver launcher with real processes. launcher_probe
# runs the launcher alone on the platform layer; launcher_silent_driver is a
# driver program that never catalogues itself.
add_executable(launcher_probe launcher_probe.cpp)
target_link_libraries(launcher_probe PRIVATE parvane_launcher)

add_executable(launcher_silent_driver launcher_silent_driver.cpp)
target_link_libraries(launcher_silent_driver PRIVATE rt_platform)

set(launcher_e2e_needs launcher_probe launcher_silent_driver)
foreach(needed lomadyn rtnode master_ini parvane)
    if(TARGET ${needed})
        list(APPEND launcher_e2e_needs ${needed})
    endif()
endforeach()

add_executable(launcher_e2e_test launcher_start_test.cpp launcher_failure_test.cpp
               launcher_tool_test.cpp)
target_link_libraries(launcher_e2e_test PRIVATE test_support GTest::gtest_main)
add_dependencies(launcher_e2e_test ${launcher_e2e_needs})
gtest_discover_tests(launcher_e2e_test TEST_PREFIX "launcher_e2e." DISCOVERY_MODE PRE_TEST
                     PROPERTIES TIMEOUT 240)

add_executable(launcher_slow_test launcher_slow_test.cpp)
target_link_libraries(launcher_slow_test PRIVATE test_support GTest::gtest_main)
add_dependencies(launcher_slow_test ${launcher_e2e_needs})
gtest_discover_tests(launcher_slow_test TEST_PREFIX "launcher_e2e." DISCOVERY_MODE PRE_TEST
                     PROPERTIES LABELS slow TIMEOUT 120)
