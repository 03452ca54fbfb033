# Runs one fuzz target for a bounded time and replays its regression inputs;
# called by ctest as `cmake -D... -P run_fuzzer.cmake`. Any crash, leak,
# sanitizer report or broken invariant makes the target exit non-zero, and
# this script fail. The corpus is copied into WORK_DIR first, so the
# fuzzer's new inputs never land in the source tree.
#
# FUZZER, CORPUS, REGRESSIONS, WORK_DIR, SECONDS, MAX_LEN (0: libFuzzer's
# choice), EXTRA_CORPUS (folders joined by "|", read only when they exist).
foreach(variable FUZZER CORPUS REGRESSIONS WORK_DIR SECONDS MAX_LEN)
    if(NOT DEFINED ${variable})
        message(FATAL_ERROR "run_fuzzer.cmake: ${variable} is not set")
    endif()
endforeach()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}/corpus" "${WORK_DIR}/artifacts")
if(IS_DIRECTORY "${CORPUS}")
    file(GLOB seeds "${CORPUS}/*")
    if(seeds)
        file(COPY ${seeds} DESTINATION "${WORK_DIR}/corpus")
    endif()
endif()

set(read_only)
string(REPLACE "|" ";" extra "${EXTRA_CORPUS}")
foreach(folder IN LISTS extra)
    if(IS_DIRECTORY "${folder}")
        list(APPEND read_only "${folder}")
    endif()
endforeach()

# The bounded run. New inputs go to the first folder only.
set(log "${WORK_DIR}/fuzz.log")
execute_process(
    COMMAND "${FUZZER}" -max_total_time=${SECONDS} -max_len=${MAX_LEN} -timeout=10
            -rss_limit_mb=2048 -print_final_stats=1 "-artifact_prefix=${WORK_DIR}/artifacts/"
            "${WORK_DIR}/corpus" ${read_only}
    RESULT_VARIABLE result
    OUTPUT_FILE "${log}"
    ERROR_FILE "${log}")
file(STRINGS "${log}" stats
     REGEX "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)")
get_filename_component(name "${FUZZER}" NAME)
string(REGEX REPLACE "stat::|[ ]+" " " stats "${stats}")
string(REPLACE ";" "," stats "${stats}")
message("${name}:${stats}")
if(NOT result EQUAL 0)
    # The end of the log holds the report; an index may cut a line.
    file(READ "${log}" text)
    string(LENGTH "${text}" length)
    set(from 0)
    if(length GREATER 6000)
        math(EXPR from "${length} - 6000")
    endif()
    string(SUBSTRING "${text}" ${from} -1 tail)
    message("${tail}")
    file(GLOB crashes "${WORK_DIR}/artifacts/*")
    message(FATAL_ERROR "${name} failed (exit ${result}); inputs kept: ${crashes}; log: ${log}")
endif()

# The regression inputs and the read-only samples, each run once and whole.
set(replay)
if(IS_DIRECTORY "${REGRESSIONS}")
    file(GLOB inputs LIST_DIRECTORIES false "${REGRESSIONS}/*")
    list(APPEND replay ${inputs})
endif()
foreach(folder IN LISTS read_only)
    file(GLOB inputs LIST_DIRECTORIES false "${folder}/*")
    list(APPEND replay ${inputs})
endforeach()
list(LENGTH replay replayed)
if(replayed GREATER 0)
    execute_process(
        COMMAND "${FUZZER}" -runs=1 -timeout=10 ${replay}
        RESULT_VARIABLE result
        OUTPUT_VARIABLE output
        ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message("${output}")
        message(FATAL_ERROR "${name}: a replayed input failed")
    endif()
endif()
message("${name}: ${replayed} regression and sample inputs replayed")
