# Included by the top-level CMakeLists.txt, so that testing is enabled in the
# top directory even when the test suite itself is left out.
option(PARVANE_FUZZ "Build the libFuzzer targets and their ctest label fuzz (needs clang)" OFF)
if(PARVANE_FUZZ)
    enable_testing()
    add_subdirectory(${CMAKE_CURRENT_LIST_DIR} ${CMAKE_BINARY_DIR}/fuzz)
endif()
