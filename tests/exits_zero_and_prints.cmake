# Runs PROGRAM (under EMULATOR, if set) with ARGUMENTS: it must exit 0 and
# print a line that matches PATTERN. A pass pattern set on the test itself
# would make ctest ignore the exit code.
separate_arguments(arguments UNIX_COMMAND "${ARGUMENTS}")
execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${arguments}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
message("${output}${errors}")
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} exited with ${result}")
endif()
if(NOT output MATCHES "${PATTERN}")
    message(FATAL_ERROR "${PROGRAM} printed no line matching '${PATTERN}'")
endif()
