# Runs PROGRAM (under EMULATOR, if set) with ARGUMENTS: it must exit 0 and
# print a line that matches PATTERN. A pass pattern set on the test itself
# would make ctest ignore the exit code. RUNS (default 1) runs it that many
# times, and each must print the same match: for a result that must not vary.
separate_arguments(arguments UNIX_COMMAND "${ARGUMENTS}")
if(NOT RUNS)
    set(RUNS 1)
endif()
set(first_match)
foreach(run RANGE 1 ${RUNS})
    execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${arguments}
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    message("${output}${errors}")
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${PROGRAM} exited with ${result}")
    endif()
    if(NOT output MATCHES "${PATTERN}")
        message(FATAL_ERROR "${PROGRAM} printed no line matching '${PATTERN}'")
    endif()
    if(run EQUAL 1)
        set(first_match "${CMAKE_MATCH_0}")
    elseif(NOT CMAKE_MATCH_0 STREQUAL first_match)
        message(FATAL_ERROR "run ${run} printed '${CMAKE_MATCH_0}', run 1 '${first_match}'")
    endif()
endforeach()
