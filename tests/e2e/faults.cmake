# Fault and load tests: the tool and the driver as real processes under a
# killed, stopped or flooded driver, two tools at once and unusable input.
if(TARGET test_support AND TARGET parvane AND TARGET lomadyn AND TARGET rtnode)
    add_executable(faults_e2e_tests
        faults_support.cpp
        faults_driver_death_test.cpp
        faults_input_test.cpp
        faults_hostile_client_test.cpp
        ${PROJECT_SOURCE_DIR}/bench/eni_text.cpp
    )
    target_link_libraries(faults_e2e_tests PRIVATE test_support ipc GTest::gtest_main)
    add_dependencies(faults_e2e_tests parvane lomadyn rtnode)
    gtest_discover_tests(faults_e2e_tests TEST_PREFIX "faults:" DISCOVERY_MODE PRE_TEST
                         PROPERTIES LABELS faults TIMEOUT 180)
endif()
