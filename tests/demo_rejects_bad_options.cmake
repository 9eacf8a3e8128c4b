# Each bad command line must get a message and exit code 2. Under Wine a
# program was once seen to end with exit 1 and no output at all before it
# ran: that, and only that, is tried again.
foreach(arguments "--rate;0" "--variant;sideways" "--ticks" "--bogus;1" "--priority;3" "--align;system"
                  "--variant;pacer;--align;gps" "--budget;20"
                  "--variant;pacer;--mode;spin;--budget;20" "--variant;pacer;--budget;-1" "--reference-ppm;300"
                  "--variant;pacer;--reference-ppm;20000" "--variant;pacer;--align;system;--reference-jitter-us;20"
                  "--sim" "--variant;pacer;--sim;--align;system")
    foreach(attempt 1 2 3)
        execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${arguments}
            RESULT_VARIABLE result ERROR_VARIABLE message OUTPUT_VARIABLE output)
        if(NOT (message STREQUAL "" AND output STREQUAL "" AND EMULATOR))
            break()
        endif()
    endforeach()
    if(NOT result EQUAL 2 OR NOT message MATCHES "varnex-demo: ")
        message(FATAL_ERROR "'${arguments}' gave exit ${result}, message '${message}'")
    endif()
endforeach()
