# Each bad command line must get a message and exit code 2.
foreach(arguments "--rate;0" "--variant;sideways" "--ticks" "--bogus;1" "--priority;3")
    execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${arguments}
        RESULT_VARIABLE result ERROR_VARIABLE message OUTPUT_QUIET)
    if(NOT result EQUAL 2 OR NOT message MATCHES "varnex_demo: ")
        message(FATAL_ERROR "'${arguments}' gave exit ${result}, message '${message}'")
    endif()
endforeach()
