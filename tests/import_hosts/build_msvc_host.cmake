# Builds win_msvc_host.exe in the MSVC ABI: clang compiles for
# ARCH-pc-windows-msvc and lld-link links against IMPORT_LIBRARY and a
# KERNEL32 import library made here for the one function the host calls.
if(ARCH STREQUAL "i686")
    set(target i686-pc-windows-msvc)
    set(machine i386)
    set(link_machine X86)
    # stdcall on i686: the linker looks for _ExitProcess@4; the DLL's name has no decoration.
    set(exit_process "ExitProcess@4")
    set(kill_at -k)
    set(entry host_entry)
else()
    set(target x86_64-pc-windows-msvc)
    set(machine i386:x86-64)
    set(link_machine X64)
    set(exit_process "ExitProcess")
    set(kill_at "")
    set(entry host_entry)
endif()
file(MAKE_DIRECTORY ${WORK_DIR})
file(WRITE ${WORK_DIR}/kernel32.def "LIBRARY KERNEL32.dll\nEXPORTS\n    ${exit_process}\n")

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed: ${ARGN}")
    endif()
endfunction()

run(llvm-dlltool-14 -m ${machine} ${kill_at} -d ${WORK_DIR}/kernel32.def -l ${WORK_DIR}/kernel32.lib)
run(clang++-14 --target=${target} -O2 -fno-exceptions -fno-rtti -ffreestanding -I${INCLUDE}
    -c ${SOURCE} -o ${WORK_DIR}/msvc_host.obj)
run(lld-link-14 /nologo /entry:${entry} /subsystem:console /nodefaultlib /machine:${link_machine}
    /out:${OUTPUT} ${WORK_DIR}/msvc_host.obj ${IMPORT_LIBRARY} ${WORK_DIR}/kernel32.lib)
