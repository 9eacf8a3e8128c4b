# The tools' manual pages come from their --help and --version: each must
# print and exit 0 at once (varnex-doctor once ran its ten-second report
# whatever it was given), or exit 1 if the text could not be written; an
# unknown option exits 2 with a message.
foreach(tool IN LISTS TOOLS)
    get_filename_component(name ${tool} NAME_WE)
    execute_process(COMMAND ${EMULATOR} ${tool} --help RESULT_VARIABLE result OUTPUT_VARIABLE output)
    if(NOT result EQUAL 0 OR NOT output MATCHES "^Usage: ${name} .*\r?\nOptions:\r?\n.*  --version ")
        message(FATAL_ERROR "${name} --help gave exit ${result} and:\n${output}")
    endif()
    execute_process(COMMAND ${EMULATOR} ${tool} --version RESULT_VARIABLE result OUTPUT_VARIABLE output)
    if(NOT result EQUAL 0 OR NOT output MATCHES "^${name} ${VERSION}\r?\n$")
        message(FATAL_ERROR "${name} --version gave exit ${result} and: ${output}")
    endif()
    # A text that could not be written is a failure, or a saved page would be empty.
    execute_process(COMMAND ${EMULATOR} ${tool} --help RESULT_VARIABLE result OUTPUT_FILE /dev/full
        ERROR_VARIABLE message)
    if(NOT result EQUAL 1 OR NOT message MATCHES "${name}: cannot write to standard output")
        message(FATAL_ERROR "${name} --help into a full disk gave exit ${result} and: ${message}")
    endif()
    execute_process(COMMAND ${EMULATOR} ${tool} --bogus RESULT_VARIABLE result ERROR_VARIABLE message)
    if(NOT result EQUAL 2 OR NOT message MATCHES "${name}: unknown option --bogus")
        message(FATAL_ERROR "${name} --bogus gave exit ${result} and: ${message}")
    endif()
endforeach()
