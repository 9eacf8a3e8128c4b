# Copies the man3 pages of the library's own names from PAGES to OUTPUT,
# gzipped without a time stamp: the headers' pages, and every page named
# varnex*, VARNEX_* or after one of the eight exports.
file(REMOVE_RECURSE ${OUTPUT})
file(MAKE_DIRECTORY ${OUTPUT})
file(GLOB pages RELATIVE ${PAGES} ${PAGES}/*.3)
set(kept 0)
foreach(page IN LISTS pages)
    if(page MATCHES "^(varnex|VARNEX_|CVarnex|nVarnex|OpenRTTimer|WaitForRTTimer|CloseRTTimer|export\\.h|pacer\\.h)")
        execute_process(COMMAND gzip -9nc ${PAGES}/${page} OUTPUT_FILE ${OUTPUT}/${page}.gz COMMAND_ERROR_IS_FATAL ANY)
        math(EXPR kept "${kept} + 1")
    endif()
endforeach()
if(kept EQUAL 0)
    message(FATAL_ERROR "no man3 page in ${PAGES}")
endif()
