# The demo's old name (OLD, a link to PROGRAM or a copy of it) runs it until
# 1.8 for the scripts that use it: their standard output as it was, with the
# old name where the program names itself; the new name on standard error,
# which PROGRAM run by its own name does not print.
set(notice "varnex_demo: the program is now varnex-demo; the old name goes away in Varnex 1.8")
execute_process(COMMAND ${EMULATOR} ${OLD} --version RESULT_VARIABLE result OUTPUT_VARIABLE output
    ERROR_VARIABLE errors)
if(NOT result EQUAL 0 OR NOT output MATCHES "^varnex_demo ${VERSION}\r?\n$" OR NOT errors MATCHES "${notice}")
    message(FATAL_ERROR "${OLD} --version gave exit ${result}, output '${output}' and errors '${errors}'")
endif()
execute_process(COMMAND ${EMULATOR} ${OLD} --help RESULT_VARIABLE result OUTPUT_VARIABLE output)
if(NOT result EQUAL 0 OR NOT output MATCHES "^Usage: varnex_demo \\[options\\]\r?\n")
    message(FATAL_ERROR "${OLD} --help gave exit ${result} and:\n${output}")
endif()
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --version RESULT_VARIABLE result ERROR_VARIABLE errors)
if(NOT result EQUAL 0 OR errors MATCHES "the program is now")
    message(FATAL_ERROR "${PROGRAM} --version gave exit ${result} and errors '${errors}'")
endif()
