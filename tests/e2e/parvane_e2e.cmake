# The tool's end-to-end tests: real processes, a node of their own each.
if(TARGET test_support)
    add_executable(parvane_e2e_tests parvane_e2e_test.cpp)
    target_link_libraries(parvane_e2e_tests PRIVATE test_support GTest::gtest_main)
    gtest_discover_tests(parvane_e2e_tests TEST_PREFIX "e2e:" DISCOVERY_MODE PRE_TEST
                         PROPERTIES TIMEOUT 120)

    # Waits the full 30 s state-change allowance.
    add_executable(parvane_e2e_slow_tests parvane_e2e_slow_test.cpp)
    target_link_libraries(parvane_e2e_slow_tests PRIVATE test_support GTest::gtest_main)
    gtest_discover_tests(parvane_e2e_slow_tests TEST_PREFIX "e2e:" DISCOVERY_MODE PRE_TEST
                         PROPERTIES LABELS slow TIMEOUT 180)

    # The tests run what these build.
    foreach(t parvane lomadyn rtnode)
        if(TARGET ${t})
            add_dependencies(parvane_e2e_tests ${t})
            add_dependencies(parvane_e2e_slow_tests ${t})
        endif()
    endforeach()
endif()
