# What a user meets around the report: one check at a time in a node, the
# words the tool ignores or answers, the hints on stderr and the result files.
# Real tools and drivers as real processes, a node of their own per test.
if(TARGET test_support AND TARGET parvane AND TARGET lomadyn AND TARGET rtnode)
    add_executable(user_facing_e2e_tests
        faults_support.cpp
        one_check_test.cpp
        tool_words_test.cpp
        result_files_test.cpp
        ${PROJECT_SOURCE_DIR}/bench/eni_text.cpp
    )
    target_link_libraries(user_facing_e2e_tests PRIVATE test_support ipc
                          pugixml::pugixml nlohmann_json::nlohmann_json GTest::gtest_main)
    add_dependencies(user_facing_e2e_tests parvane lomadyn rtnode)
    gtest_discover_tests(user_facing_e2e_tests TEST_PREFIX "user:" DISCOVERY_MODE PRE_TEST
                         PROPERTIES TIMEOUT 240)
endif()
