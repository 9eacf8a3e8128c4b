# Every test entry of every build, in one place: its name, its program (built
# in the folders beside this file), its tier as a ctest label, its time limit
# in seconds (times VARNEX_TIMEOUT_SCALE), and the timer_peer it needs.
#   unit      the fake platform; seconds in all (ctest --preset quick)
#   clock     the real clock (the default)
#   stress    long runs of many cycles
#   package   the packages, the export table, the bindings' sources
#   docs      the documents: their examples run, their copies, links and
#             facts, the API reference, the tools' --help
#   emulated  added to every entry of the i686 and aarch64 builds, which run
#             under qemu
#   rust      the Rust crates: built with Debian's cargo, tested, their example
#   node      the npm package: its addon, its types and its tarball
#   python    the Python package's tests, from the source tree over the
#             library just built (under the arm64 build, on Debian's arm64
#             Python; under the address sanitizer, its close during a wait)
#   dotnet    the C# binding on Mono
# varnex_gtest runs a GoogleTest program filtered to some cases;
# varnex_case_tests gives each TEST of a file an entry of its own, so that each
# starts on a library that no case before it touched.

# An emulated Linux build's Python: Debian's python3 and pytest for the
# build's architecture, unpacked once into the build folder, run under qemu
# with that folder as its root.
if(NOT WIN32 AND CMAKE_CROSSCOMPILING)
    set(VARNEX_DEBIAN_PYTHON_ROOT ${CMAKE_BINARY_DIR}/debian-python)
    add_test(NAME debian_python COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/package/debian_python.sh arm64
        ${VARNEX_DEBIAN_PYTHON_ROOT})
    set_tests_properties(debian_python PROPERTIES FIXTURES_SETUP debian_python TIMEOUT 900 LABELS "package;emulated")
    set(VARNEX_EMULATED_PYTHON ${VARNEX_QEMU_AARCH64} -L ${VARNEX_DEBIAN_PYTHON_ROOT}
        ${VARNEX_DEBIAN_PYTHON_ROOT}/usr/bin/python3)
    set(VARNEX_PYTHON_EMULATOR "${VARNEX_QEMU_AARCH64} -L ${VARNEX_DEBIAN_PYTHON_ROOT}")
endif()

if(WIN32)
    set(host_prefix win_)
    set(host_timeout 120)
else()
    set(host_prefix linux_)
    set(host_timeout 60)
endif()

# The fake platform, on every build.
varnex_test(unit_fresh_state TIMEOUT 120 TIER unit FIXTURES ${VARNEX_RUNTIME_FIXTURE} COMMAND unit_fresh_state)
varnex_test(unit_tests TIMEOUT 120 TIER unit FIXTURES ${VARNEX_RUNTIME_FIXTURE} COMMAND unit_tests)

# The real-clock scenario suite of tests/host, on every build.
# The thread sanitizer holds back a signal until the thread's next intercepted
# call, and a spinning worker makes none: the suspension never starts.
set(skipped_cases)
if(VARNEX_SANITIZER STREQUAL "thread")
    set(skipped_cases SuspendedWorkerMakesTheWaitFailAfterTenSecondsAndClose)
endif()
varnex_case_tests(${host_prefix}threaded_ host_threaded_test ${CMAKE_CURRENT_SOURCE_DIR}/host/threaded_timer_test.cpp
    ${host_timeout}
    SKIP ${skipped_cases}
    PEER AnotherProcesssWorkerReleasesOurWaits "tick 300 2.0"
         OurWorkerReleasesAnotherProcesssWaits "count 10 0.5")
varnex_gtest(${host_prefix}fresh_library host_polling_test "FreshLibrary.*" ${host_timeout})
varnex_gtest(${host_prefix}polling host_polling_test "PollingTimer.*" ${host_timeout} SERIAL)
varnex_gtest(${host_prefix}stress host_hardening_test "Stress.*" 300 SERIAL TIER stress)
varnex_gtest(${host_prefix}bad_input host_hardening_test "BadInput.*" 300 SERIAL)
varnex_gtest(${host_prefix}misuse host_hardening_test "Misuse.*" 60 SERIAL)
varnex_gtest(${host_prefix}neighbours host_hardening_test "Neighbours.*" 120 SERIAL)
varnex_gtest(${host_prefix}unload host_unload_test "Unloading.*" 120 SERIAL)
varnex_test(pacer_clock TIMEOUT 60 SERIAL FIXTURES ${VARNEX_RUNTIME_FIXTURE} COMMAND pacer_clock_test)
# The clock the host drives: no case spins or sleeps, so it runs beside others.
varnex_test(sim_clock TIMEOUT 60 FIXTURES ${VARNEX_RUNTIME_FIXTURE} COMMAND sim_clock_test)
varnex_test(aligned_clock TIMEOUT 60 SERIAL FIXTURES ${VARNEX_RUNTIME_FIXTURE}
    COMMAND aligned_clock_test --gtest_filter=AlignedClock.ReturnsLieNearTheirGridPoints)
varnex_test(pacer_c_host TIMEOUT 60 FIXTURES ${VARNEX_RUNTIME_FIXTURE}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:pacer_c_host> -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}
            "-DPATTERN=ten frames at 30000/1001" -P ${CMAKE_CURRENT_SOURCE_DIR}/exits_zero_and_prints.cmake)

if(WIN32)
    # One Xvfb and one persistent wineserver serve the whole run: a wineserver
    # that each test started would hold the test's output pipe open. The
    # prefix is made once per build directory.
    add_test(NAME wine_prefix COMMAND ${VARNEX_WINE_SESSION} prefix ${VARNEX_WINDOWS_ARCH} ${VARNEX_WINE_DIR})
    add_test(NAME wine_session_start COMMAND ${VARNEX_WINE_SESSION} start ${VARNEX_WINDOWS_ARCH} ${VARNEX_WINE_DIR})
    add_test(NAME wine_session_stop COMMAND ${VARNEX_WINE_SESSION} stop ${VARNEX_WINDOWS_ARCH} ${VARNEX_WINE_DIR})
    set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 600)
    set_tests_properties(wine_session_start PROPERTIES FIXTURES_SETUP wine FIXTURES_REQUIRED wine_prefix
                                                       TIMEOUT 120)
    set_tests_properties(wine_session_stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)

    # The export table and imports of the DLL, and of hosts built against its
    # import libraries, which also run.
    varnex_test(exports TIMEOUT 60 TIER package COMMAND
        ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/exports/check_dll.py
        --arch ${CMAKE_SYSTEM_PROCESSOR} --objdump ${CMAKE_OBJDUMP}
        --host $<TARGET_FILE:win_mingw_host> --host ${VARNEX_MSVC_HOST}
        $<TARGET_FILE:varnex>)
    varnex_test(package_zip TIMEOUT 120 TIER package COMMAND
        ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/package/check_zip.py ${CMAKE_BINARY_DIR})
    varnex_gtest(win_mingw_host_runs win_mingw_host "*" 60 SERIAL)
    varnex_test(win_msvc_host_runs TIMEOUT 60 SERIAL FIXTURES wine
        COMMAND ${CMAKE_BINARY_DIR}/wine-run.sh ${VARNEX_MSVC_HOST})

    # What only Windows has (tests/windows).
    varnex_gtest(win_exports win_dll_test "Exports.*:Placeholders.*" 120)
    varnex_case_tests(win_threaded_ win_threaded_test ${CMAKE_CURRENT_SOURCE_DIR}/windows/threaded_test.cpp 120)
    varnex_gtest(win_sim_clock_named win_sim_clock_named_test "SimClockNamed.*" 120)
    varnex_gtest(win_neighbours_kinds win_hardening_test "Neighbours.AManualResetEventStillGivesOneTickPerWait" 120
        SERIAL)
    varnex_gtest(win_neighbours_mutex win_hardening_test "Neighbours.AMutexNamedLikeTheEventFailsTheOpenCleanly" 120
        SERIAL PEER "mutex 0 3")
    varnex_gtest(win_planting win_planting_test "Planting.*" 60)
    varnex_gtest(win_message_pump win_message_pump_test "MessagePump.*" 120 SERIAL)
    # An emulated 32-bit process cannot start another, nor run beside one at
    # full speed: the two-process case is win64's (Linux runs its own, in two
    # time namespaces).
    if(NOT VARNEX_WINDOWS_ARCH STREQUAL "i686")
        varnex_test(win_aligned_two_processes TIMEOUT 120 SERIAL FIXTURES wine
            COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/run-beside-peer.sh ${CMAKE_CROSSCOMPILING_EMULATOR}
                    $<TARGET_FILE:aligned_clock_test> "--report aligned_peer.txt 100 200 1"
                    $<TARGET_FILE:aligned_clock_test>
                    --gtest_filter=AlignedClock.TwoProcessesTicksOfOneIndexComeTogether)
    endif()
else()
    # What only Linux has (tests/linux).
    # A sanitizer's allocator keeps what is freed; qemu's user-mode emulation
    # keeps about 39 KiB of its own for every guest thread that ended, so
    # that the resident memory would measure qemu.
    # Each of the 100,000 cycles waits for a new worker to be scheduled: beside
    # two busy loops a cycle took 3.7 ms, 370 s in all.
    if(NOT VARNEX_SANITIZER AND NOT VARNEX_EMULATED)
        varnex_gtest(linux_stress_memory linux_hardening_test "Stress.*" 900 SERIAL TIER stress)
    endif()
    varnex_gtest(linux_neighbours_event_file linux_hardening_test "Neighbours.*" 60 SERIAL)
    varnex_gtest(linux_named_event linux_named_event_test "*" 60)
    varnex_gtest(linux_shared_file linux_shared_file_test "*" 60)
    varnex_gtest(linux_pacer_controls linux_pacer_controls_test "PacerControls.*:PacerThread.*" 60 SERIAL)
    varnex_gtest(linux_event_loop linux_event_loop_test "EventLoop.*" 60 SERIAL)
    varnex_gtest(linux_aligned_fleet linux_aligned_fleet_test "TwoMachines.*" 60 SERIAL)
    # A sanitized spin and sleep cost CPU of their own: the two sums would
    # measure the sanitizer.
    if(NOT VARNEX_SANITIZER)
        varnex_gtest(linux_budget_clock linux_budget_clock_test "PacerBudgetClock.*" 90 SERIAL)
    endif()
    varnex_gtest(linux_reference_clock linux_reference_clock_test "ReferenceClock.*" 60)
    varnex_gtest(linux_sim_clock_processes linux_sim_clock_processes_test "*" 60)

    # A cross build's library exports what the x86-64 one does, node by node.
    if(CMAKE_CROSSCOMPILING)
        varnex_test(exports_match_x86 TIMEOUT 300 TIER package COMMAND
            ${CMAKE_CURRENT_SOURCE_DIR}/exports/compare_so.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}/x86-64-library
            $<TARGET_FILE:varnex> ${CMAKE_NM})
    endif()

    # The support library (tests/support). The percentile the C++ tools print
    # and the one the benchmark's report computes are held together here, on
    # Linux: the header has nothing per system.
    varnex_test(percentile_agrees TIMEOUT 30 TIER unit COMMAND
        ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/support/percentile_agrees.py
        $<TARGET_FILE:percentile_print> ${PROJECT_SOURCE_DIR}/bench ${CMAKE_CROSSCOMPILING_EMULATOR})
    varnex_test(support_arguments TIMEOUT 30 TIER unit COMMAND support_arguments_test)

    # The packages and the bindings. A consumer built without the sanitizer
    # cannot load a sanitized library.
    if(NOT VARNEX_SANITIZER AND NOT CMAKE_CROSSCOMPILING)
        varnex_test(package_consumer TIMEOUT 300 TIER package COMMAND
            ${CMAKE_CURRENT_SOURCE_DIR}/package/check_install.sh ${CMAKE_BINARY_DIR} ${VARNEX_PYTHON_DIR})
        # The bindings' constants are the header's, as the compiler reads it.
        varnex_test(binding_constants TIMEOUT 60 TIER unit COMMAND
            ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/generate-constants.py --check)
        set_tests_properties(binding_constants PROPERTIES ENVIRONMENT "CC=${CMAKE_C_COMPILER}")
        # The packages: each builds the library again, so each runs alone.
        varnex_test(package_wheel TIMEOUT 600 SERIAL TIER package COMMAND
            ${CMAKE_CURRENT_SOURCE_DIR}/package/check_wheel.sh)
        varnex_test(package_deb TIMEOUT 600 SERIAL TIER package COMMAND
            ${CMAKE_CURRENT_SOURCE_DIR}/package/check_deb.sh ${CMAKE_BINARY_DIR}/deb ${PROJECT_VERSION})
        # The C# binding on Mono, and the Python package from the source tree
        # over the library just built, with Debian's Python and pytest; their
        # struct mirrors are compared with the layout the C compiler gives the
        # header's structs.
        varnex_test(dotnet_binding TIMEOUT 120 SERIAL TIER dotnet COMMAND
            ${CMAKE_CURRENT_SOURCE_DIR}/dotnet/check_binding.sh $<TARGET_FILE:varnex> $<TARGET_FILE:struct_layout>)
        varnex_test(python_package TIMEOUT 120 SERIAL TIER python COMMAND
            /usr/bin/python3 -m pytest -q -p no:cacheprovider ${PROJECT_SOURCE_DIR}/bindings/python/tests)
        set_tests_properties(python_package PROPERTIES ENVIRONMENT
            "VARNEX_LIBRARY=$<TARGET_FILE:varnex>;VARNEX_STRUCT_LAYOUT=$<TARGET_FILE:struct_layout>;PYTHONPATH=${PROJECT_SOURCE_DIR}/bindings/python;PYTHONDONTWRITEBYTECODE=1")
        # The Rust crates with Debian's toolchain (rustc 1.63, not a newer one first on PATH) and
        # Debian's crates, offline (bindings/rust/.cargo/config.toml, read from that folder), over
        # the library just built, into a target folder of this build. The first entry compiles
        # (tokio takes minutes), beside other tests; the second runs the tests alone.
        set(rust_environment
            "CARGO_TARGET_DIR=${CMAKE_BINARY_DIR}/rust;RUSTC=/usr/bin/rustc;RUSTDOC=/usr/bin/rustdoc;VARNEX_LIB_DIR=$<TARGET_FILE_DIR:varnex>;LD_LIBRARY_PATH=$<TARGET_FILE_DIR:varnex>;VARNEX_STRUCT_LAYOUT=$<TARGET_FILE:struct_layout>")
        varnex_test(rust_build TIMEOUT 1200 TIER rust COMMAND /usr/bin/cargo test --features tokio --no-run)
        set_tests_properties(rust_build PROPERTIES FIXTURES_SETUP rust_build)
        varnex_test(rust_crates TIMEOUT 120 SERIAL TIER rust FIXTURES rust_build COMMAND
            /usr/bin/cargo test --features tokio)
        # The guide's example (docs/rust.md), built by the first entry.
        varnex_test(example_rust_tokio_stream TIMEOUT 120 SERIAL TIER rust FIXTURES rust_build COMMAND
            ${CMAKE_COMMAND} -DPROGRAM=/usr/bin/cargo "-DARGUMENTS=run --features tokio --example tokio_stream"
            "-DPATTERN=tokio: [0-9]+ ticks, p99 lateness [0-9.]+ us; the other task ran 100 times"
            -P ${CMAKE_CURRENT_SOURCE_DIR}/exits_zero_and_prints.cmake)
        foreach(entry rust_build rust_crates example_rust_tokio_stream)
            set_tests_properties(${entry} PROPERTIES ENVIRONMENT "${rust_environment}"
                WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}/bindings/rust)
        endforeach()
        # The npm package under Node's own test runner, its addon built over the
        # library just built.
        foreach(suite ticks event_loop worker sim_clock)
            varnex_test(node_${suite} TIMEOUT 120 SERIAL TIER node COMMAND
                ${VARNEX_NODE} --test ${PROJECT_SOURCE_DIR}/bindings/node/test/${suite}.test.js)
            set_tests_properties(node_${suite} PROPERTIES ENVIRONMENT "VARNEX_NODE_ADDON=$<TARGET_FILE:varnex_node>")
        endforeach()
        # The package's types, with Debian's tsc: what a host writes compiles,
        # and the mistakes it must catch are caught.
        varnex_test(node_types TIMEOUT 120 TIER node COMMAND ${VARNEX_TSC} --noEmit --strict --target es2020
            --module commonjs ${PROJECT_SOURCE_DIR}/bindings/node/test/types.ts)
        # The npm tarball, installed offline over an installed copy of this
        # build: npm builds its addon with node-gyp, and it paces.
        varnex_test(node_tarball TIMEOUT 300 TIER node COMMAND
            ${CMAKE_CURRENT_SOURCE_DIR}/package/check_npm.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
    elseif(CMAKE_CROSSCOMPILING)
        # The Python package under Debian's arm64 Python, emulated, over this
        # build's library; the interpreter starts its own child programs
        # through the emulator (VARNEX_EMULATOR).
        varnex_test(python_package TIMEOUT 300 SERIAL TIER python FIXTURES debian_python COMMAND
            ${VARNEX_EMULATED_PYTHON} -m pytest -q -p no:cacheprovider ${PROJECT_SOURCE_DIR}/bindings/python/tests)
        set_tests_properties(python_package PROPERTIES ENVIRONMENT
            "VARNEX_LIBRARY=$<TARGET_FILE:varnex>;VARNEX_STRUCT_LAYOUT=$<TARGET_FILE:struct_layout>;PYTHONPATH=${PROJECT_SOURCE_DIR}/bindings/python;PYTHONDONTWRITEBYTECODE=1;VARNEX_EMULATOR=${VARNEX_PYTHON_EMULATOR}")
        # The arm64 packages and wheel, each built again from the sources;
        # their programs and module run under the emulated Python's root.
        set(emulated_package_environment
            "VARNEX_EMULATOR=${VARNEX_PYTHON_EMULATOR};VARNEX_PYTHON=${VARNEX_DEBIAN_PYTHON_ROOT}/usr/bin/python3")
        varnex_test(package_deb TIMEOUT 900 SERIAL TIER package FIXTURES debian_python COMMAND
            ${CMAKE_CURRENT_SOURCE_DIR}/package/check_deb.sh ${CMAKE_BINARY_DIR}/deb ${PROJECT_VERSION} arm64)
        varnex_test(package_wheel TIMEOUT 900 SERIAL TIER package FIXTURES debian_python COMMAND
            ${CMAKE_CURRENT_SOURCE_DIR}/package/check_wheel.sh arm64)
        set_tests_properties(package_deb package_wheel PROPERTIES ENVIRONMENT "${emulated_package_environment}")
    elseif(VARNEX_SANITIZER STREQUAL "address")
        # Debian's Python over the sanitized library, the sanitizer's runtime
        # preloaded: a pacer closed while another thread waits is never
        # touched once freed. (Python's own allocations would read as leaks.)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
            OUTPUT_VARIABLE asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
        varnex_test(python_close_while_waiting TIMEOUT 120 SERIAL TIER python COMMAND
            /usr/bin/python3 ${PROJECT_SOURCE_DIR}/bindings/python/tests/close_while_waiting.py 40)
        set_tests_properties(python_close_while_waiting PROPERTIES
            ENVIRONMENT "LD_PRELOAD=${asan_runtime};ASAN_OPTIONS=detect_leaks=0;VARNEX_LIBRARY=$<TARGET_FILE:varnex>;PYTHONPATH=${PROJECT_SOURCE_DIR}/bindings/python;PYTHONDONTWRITEBYTECODE=1"
            FAIL_REGULAR_EXPRESSION "ERROR: AddressSanitizer")
    endif()
endif()

# The shipped tools: a build may leave them out.
if(VARNEX_BUILD_TOOLS)
    if(WIN32)
        set(doctor_system "hypervisor .*high-resolution waitable timer .*timer resolution ")
    else()
        set(doctor_system
            "clocksource .*machine .*hypervisor .*PREEMPT_RT .*timer slack .*isolated CPUs .*nohz_full CPUs .*cpu_dma_latency .*CPU governor ")
    endif()
    set(doctor_lines "counter +[0-9]+ Hz, one read .*${doctor_system}.*oversleep, 5 s of absolute sleeps +p50 .*p99 .*p99.9 .*predictions.*margin a hybrid would learn .*hybrid at 100/s +no budget [0-9.]+, budget 20.0 us [0-9.]+, budget 200.0 us [0-9.]+.*hybrid at 1000/s .*controls .*realtime .*boost .*affinity .*lock-memory .*dma-latency .*no-throttling .*mmcss ")
    # The demo host: a short run prints its report; a bad option exits 2.
    varnex_test(demo_reports TIMEOUT 60 SERIAL FIXTURES ${VARNEX_RUNTIME_FIXTURE}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:varnex_demo> -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}
                "-DARGUMENTS=--ticks 200 --rate 1000" "-DPATTERN=error p99.9 .*CPU per second"
                -P ${CMAKE_CURRENT_SOURCE_DIR}/exits_zero_and_prints.cmake)
    varnex_test(demo_reports_grid_offsets TIMEOUT 60 SERIAL FIXTURES ${VARNEX_RUNTIME_FIXTURE}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:varnex_demo> -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}
                "-DARGUMENTS=--variant pacer --align system --ticks 50 --rate 100" "-DPATTERN=grid offset p99 "
                -P ${CMAKE_CURRENT_SOURCE_DIR}/exits_zero_and_prints.cmake)
    # On a clock that moves itself every period is exact, and takes no time.
    varnex_test(demo_reports_simulated TIMEOUT 60 FIXTURES ${VARNEX_RUNTIME_FIXTURE}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:varnex_demo> -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}
                "-DARGUMENTS=--variant pacer --sim --ticks 5000 --rate 1000"
                "-DPATTERN=5000 ticks in 5\\.000 s of the clock's time.*error max +[-+]0\\.000 us.*missed ticks +0\n"
                -P ${CMAKE_CURRENT_SOURCE_DIR}/exits_zero_and_prints.cmake)
    # Every line it promises, the sample's 5 s among them.
    varnex_test(doctor_reports TIMEOUT 120 SERIAL FIXTURES ${VARNEX_RUNTIME_FIXTURE}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:varnex_doctor> -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}
                "-DPATTERN=${doctor_lines}" -P ${CMAKE_CURRENT_SOURCE_DIR}/exits_zero_and_prints.cmake)
    varnex_test(demo_rejects_bad_options TIMEOUT 60 FIXTURES ${VARNEX_RUNTIME_FIXTURE}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:varnex_demo> -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}
                -P ${CMAKE_CURRENT_SOURCE_DIR}/demo_rejects_bad_options.cmake)
endif()

# The documents (tests/docs): the examples they carry, run on every build where
# they apply (the C and C++ ones under Wine on both DLLs); on the Linux build,
# the copies in the documents, their links, and the API reference.
varnex_example_test(example_first_pacer "tick [0-9]+ came -?[0-9.]+ us late")
varnex_example_test(example_lateness_budget
    "[0-9]+ of 500 ticks on time; late: [0-9]+ overslept, [0-9]+ preempted, [0-9]+ host late")
varnex_example_test(example_aligned_grid "grid point [0-9]+ is [0-9.]+ s after 1970; no index skipped or repeated")
varnex_example_test(example_follow_reference "tick [0-9]+ on the reference, locked at \\+(29[0-9]|30[0-9])\\.[0-9] ppm, 1 re-base")
varnex_example_test(example_wrapper
    "refused: [^\n]+ \\(status -2\\)\ncancelled after [0-9]+ ticks \\([0-9]+ missed\\); p99 lateness [0-9.]+ us")
# The threaded timer shares its named event with every process of the user:
# it runs alone.
varnex_example_test(example_dropin_timers "polling: 50 ticks in 0\\.[0-9]+ s; threaded: 50 ticks in 0\\.[0-9]+ s" SERIAL)
# On the simulated clock: the lockstep trace is the same in two runs; the same
# controller on the counter; an hour of a loop's ticks, or a minute where the
# build runs slowly (sanitized, emulated or under Wine).
varnex_example_test(example_lockstep
    "lockstep: 60000 steps, 15000 control ticks \\(0 missed\\), 3000 angles logged, within [0-9.]+ rad of upright; trace hash [0-9a-f]+"
    RUNS 2 TIMEOUT 120)
varnex_example_test(example_lockstep_real
    "real time: 2000 steps, [0-9]+ control ticks \\([0-9]+ missed\\), [0-9]+ angles logged, within [0-9.]+ rad of upright"
    PROGRAM example_lockstep ARGUMENTS --real)
if(VARNEX_SANITIZER OR VARNEX_EMULATED OR WIN32)
    varnex_example_test(example_loop_test
        "^tick 30005: 5 missed, 0 ns late\n60 s of clock time: 59995 ticks taken and 5 missed at the stall"
        ARGUMENTS 60)
else()
    varnex_example_test(example_loop_test
        "^tick 1800005: 5 missed, 0 ns late\n3600 s of clock time: 3599995 ticks taken and 5 missed at the stall")
endif()
if(VARNEX_BUILD_TOOLS)
    varnex_test(tool_options TIMEOUT 60 TIER docs FIXTURES ${VARNEX_RUNTIME_FIXTURE} COMMAND ${CMAKE_COMMAND}
        "-DTOOLS=$<TARGET_FILE:varnex_demo>;$<TARGET_FILE:varnex_doctor>"
        -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR} -DVERSION=${PROJECT_VERSION}
        -P ${CMAKE_CURRENT_SOURCE_DIR}/docs/tool_options.cmake)
endif()
if(WIN32)
    varnex_example_test(example_message_loop "50 ticks in the message loop, then WM_QUIT")
    varnex_example_test(example_bind_by_name "bound by name and ordinal: the last of 20 ticks took 0\\.0[0-9]+ s")
else()
    varnex_example_test(example_epoll_loop "100 ticks from the readiness handle \\([0-9]+ not yet due\\), 1 message served")
endif()
# The Python examples over the library of the unsanitized Linux builds (an
# emulated build's under its emulated Python); once, on the native one, the C#
# example and the checks of the documents themselves.
if(NOT WIN32 AND NOT VARNEX_SANITIZER)
    if(CMAKE_CROSSCOMPILING)
        set(python_emulator ${VARNEX_QEMU_AARCH64} -L ${VARNEX_DEBIAN_PYTHON_ROOT})
        set(python_program ${VARNEX_DEBIAN_PYTHON_ROOT}/usr/bin/python3)
        set(python_fixture FIXTURES debian_python)
    else()
        set(python_emulator)
        set(python_program /usr/bin/python3)
        set(python_fixture)
    endif()
    set(python_environment
        "VARNEX_LIBRARY=$<TARGET_FILE:varnex>;PYTHONPATH=${PROJECT_SOURCE_DIR}/bindings/python;PYTHONDONTWRITEBYTECODE=1")
    set(first_pacer_pattern "[0-9]+ ticks, p99 lateness [0-9.]+ us, CPU [0-9.]+ s")
    set(asyncio_loop_pattern "asyncio: [0-9]+ ticks, p99 lateness [0-9.]+ us")
    set(budget_and_controls_pattern
        "refused: invalid rate[^\n]*\n[0-9]+ ticks, [0-9]+ late; controls active: \\['affinity'\\]")
    foreach(example first_pacer asyncio_loop budget_and_controls)
        set(pattern "${${example}_pattern}")
        varnex_test(example_python_${example} TIMEOUT 60 TIER docs ${python_fixture} COMMAND ${CMAKE_COMMAND}
            -DPROGRAM=${python_program} "-DEMULATOR=${python_emulator}"
            -DARGUMENTS=${PROJECT_SOURCE_DIR}/examples/python/${example}.py "-DPATTERN=${pattern}"
            -P ${CMAKE_CURRENT_SOURCE_DIR}/exits_zero_and_prints.cmake)
        set_tests_properties(example_python_${example} PROPERTIES ENVIRONMENT "${python_environment}")
    endforeach()
    # The lockstep example with its controller in a Python process of its
    # own, on the C simulator's named clock.
    list(JOIN python_emulator " " controller_emulator)
    varnex_test(example_lockstep_processes TIMEOUT 120 TIER docs ${python_fixture} COMMAND ${CMAKE_COMMAND}
        -DPROGRAM=$<TARGET_FILE:example_lockstep_processes> -DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}
        "-DARGUMENTS=${controller_emulator} ${python_program} ${PROJECT_SOURCE_DIR}/examples/python/lockstep_controller.py"
        "-DPATTERN=two processes: 60000 steps, 15000 control ticks in the controller's process, trace hash [0-9a-f]+"
        -P ${CMAKE_CURRENT_SOURCE_DIR}/exits_zero_and_prints.cmake)
    set_tests_properties(example_lockstep_processes PROPERTIES ENVIRONMENT "${python_environment}")
endif()
if(NOT WIN32 AND NOT VARNEX_SANITIZER AND NOT CMAKE_CROSSCOMPILING)
    # The Node example requires the package by name, as a host does: the
    # source tree's package, through NODE_PATH, over this build's addon.
    varnex_test(example_node TIMEOUT 60 TIER docs COMMAND ${CMAKE_COMMAND} -DPROGRAM=${VARNEX_NODE}
        -DARGUMENTS=${PROJECT_SOURCE_DIR}/examples/node/first_pacer.js
        "-DPATTERN=node: [0-9]+ ticks, p99 lateness [0-9.]+ us, [0-9]+ timers served"
        -P ${CMAKE_CURRENT_SOURCE_DIR}/exits_zero_and_prints.cmake)
    set_tests_properties(example_node PROPERTIES ENVIRONMENT
        "VARNEX_NODE_ADDON=$<TARGET_FILE:varnex_node>;NODE_PATH=${VARNEX_NODE_MODULES}")
    varnex_test(example_csharp TIMEOUT 120 TIER docs COMMAND ${CMAKE_COMMAND}
        -DPROGRAM=${CMAKE_CURRENT_SOURCE_DIR}/docs/run_csharp_example.sh
        "-DARGUMENTS=$<TARGET_FILE:varnex> ${PROJECT_SOURCE_DIR}/examples/csharp/Host.cs"
        "-DPATTERN=C#: 250 ticks to tick [0-9]+, p99 lateness [0-9.]+ us"
        -P ${CMAKE_CURRENT_SOURCE_DIR}/exits_zero_and_prints.cmake)

    set(check_docs ${CMAKE_CURRENT_SOURCE_DIR}/docs/check_docs.py)
    varnex_test(docs_example_copies TIMEOUT 60 TIER docs COMMAND
        ${Python3_EXECUTABLE} ${check_docs} --examples ${PROJECT_SOURCE_DIR})
    varnex_test(docs_links TIMEOUT 60 TIER docs COMMAND ${Python3_EXECUTABLE} ${check_docs} --links ${PROJECT_SOURCE_DIR})
    varnex_test(docs_facts TIMEOUT 60 TIER docs COMMAND ${Python3_EXECUTABLE} ${check_docs} --facts ${PROJECT_SOURCE_DIR})
    varnex_test(docs_checker TIMEOUT 60 TIER docs COMMAND
        /usr/bin/python3 -m pytest -q -p no:cacheprovider ${CMAKE_CURRENT_SOURCE_DIR}/docs/test_check_docs.py)
    if(VARNEX_DOXYFILE)
        varnex_test(docs_reference TIMEOUT 120 TIER docs COMMAND
            ${CMAKE_CURRENT_SOURCE_DIR}/docs/check_reference.sh ${VARNEX_DOXYFILE})
    endif()
endif()
