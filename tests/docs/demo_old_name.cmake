# Run by its old name (OLD, until 1.8), the demo gives its new name on standard
# error; run by that (PROGRAM), it does not. tool_options checks that the old
# name's --help, --version and messages are what they were.
execute_process(COMMAND ${EMULATOR} ${OLD} --version RESULT_VARIABLE old_result ERROR_VARIABLE old_errors)
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --version RESULT_VARIABLE new_result ERROR_VARIABLE new_errors)
if(NOT old_result EQUAL 0 OR NOT new_result EQUAL 0 OR new_errors MATCHES "is now"
   OR NOT old_errors MATCHES "varnex_demo: the program is now varnex-demo; the old name goes away in Varnex 1.8")
    message(FATAL_ERROR "${OLD} --version gave exit ${old_result} and errors '${old_errors}'; "
                        "${PROGRAM} --version exit ${new_result} and errors '${new_errors}'")
endif()
