// The threaded timer's wake-up lag: from the moment its worker signals the
// tick event to the moment the waiting host runs again, against a bare
// hand-off between two threads by the same operating-system primitive. The
// one measurement that needs the library's inside: it links the library's
// code and wraps the platform's signal (`--wrap`) to read the counter there.
// Appends its samples to the pacing benchmark's CSV (table.h).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "arguments.h"
#include "counter.h"
#include "methods.h"
#include "process_cpu.h"
#include "table.h"
#include "varnex.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include "platform/linux_internal.h"
#endif

namespace {

std::atomic<int64_t> last_signal_reading{0};

}  // namespace

extern "C" void __real__ZN8platform9set_eventEPv(void* event);

extern "C" void __wrap__ZN8platform9set_eventEPv(void* event)
{
    last_signal_reading.store(read_counter());
    __real__ZN8platform9set_eventEPv(event);
}

namespace {

Method varnex_threaded_lag(long rate)
{
    return {"threaded_wakeup", "varnex threaded wake-up", rate, [rate](long ticks) {
                Round round;
                void* timer = OpenRTTimer(rate, 2);
                WaitForRTTimer(timer);
                const double cpu_start_s = process_cpu_seconds();
                const int64_t start = read_counter();
                for (long index = 0; index < ticks; ++index) {
                    WaitForRTTimer(timer);
                    round.values_ns.push_back(counts_to_ns(read_counter() - last_signal_reading.load()));
                }
                round.cpu_per_second =
                    (process_cpu_seconds() - cpu_start_s) / (counts_to_ns(read_counter() - start) * 1e-9);
                CloseRTTimer(timer);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return round;
            }, true};
}

// The primitive under the library's event: a kernel event on Windows, a
// futex word on Linux.
#if defined(_WIN32)
struct BareEvent {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ~BareEvent() { CloseHandle(event); }
    void signal() { SetEvent(event); }
    void wait() { WaitForSingleObject(event, INFINITE); }
};
#else
struct BareEvent {
    std::atomic<uint32_t> word{0};
    void signal()
    {
        word.store(1);
        platform::detail::futex_wake(&word, 1, false);
    }
    void wait()
    {
        uint32_t signalled = 1;
        while (!word.compare_exchange_strong(signalled, 0)) {
            signalled = 1;
            platform::detail::futex_wait(&word, 0, nullptr, false);
        }
    }
};
#endif

Method bare_hand_off(long rate)
{
    return {"bare_hand_off", "bare hand-off", rate, [rate](long ticks) {
                Round round;
                BareEvent event;
                std::atomic<int64_t> signal_reading{0};
                std::atomic<bool> stop{false};
                const int64_t threshold = counter_frequency() / rate - 1;
                std::thread ticker([&] {
                    int64_t reference = read_counter();
                    while (!stop.load()) {
                        int64_t reading;
                        do {
                            reading = read_counter();
                        } while (reading - reference < threshold);
                        reference = reading;
                        signal_reading.store(read_counter());
                        event.signal();
                    }
                });
                event.wait();
                const double cpu_start_s = process_cpu_seconds();
                const int64_t start = read_counter();
                for (long index = 0; index < ticks; ++index) {
                    event.wait();
                    round.values_ns.push_back(counts_to_ns(read_counter() - signal_reading.load()));
                }
                round.cpu_per_second =
                    (process_cpu_seconds() - cpu_start_s) / (counts_to_ns(read_counter() - start) * 1e-9);
                stop.store(true);
                ticker.join();
                return round;
            }, true};
}

const char kUsage[] =
    "usage: varnex_signal_lag_bench [options]\n"
    "  --csv FILE     append every sample to FILE (default varnex_bench.csv)\n"
    "  --ticks N      ticks per row, over all rounds (default 3000)\n"
    "  --rounds N     rounds the two take turns in (default 4)\n";

}  // namespace

int main(int argc, char** argv)
{
    std::string csv_path = "varnex_bench.csv";
    long ticks_per_row = 3000;
    int rounds = 4;
    const std::vector<arguments::Option> known = {
        {"--csv",
         [&](const char* value) {
             csv_path = value;
             return true;
         }},
        {"--ticks",
         [&](const char* value) {
             ticks_per_row = std::atol(value);
             return true;
         }},
        {"--rounds",
         [&](const char* value) {
             rounds = std::atoi(value);
             return true;
         }},
    };
    const arguments::Parsed parsed = arguments::parse(argc, argv, known, {"--help"});
    if (parsed.outcome == arguments::Outcome::kHelp) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (parsed.outcome != arguments::Outcome::kRun || ticks_per_row <= 0 || rounds <= 0) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::FILE* csv = std::fopen(csv_path.c_str(), "a");
    if (csv == nullptr) {
        std::fprintf(stderr, "varnex_signal_lag_bench: cannot write %s\n", csv_path.c_str());
        return 1;
    }
    // msvcrt reports position 0 for a file opened to append until it is sought.
    std::fseek(csv, 0, SEEK_END);
    if (std::ftell(csv) == 0) {
        std::fputs(kCsvHeader, csv);
    }
    run_rounds(csv, {varnex_threaded_lag(1000), bare_hand_off(1000)}, rounds, (ticks_per_row + rounds - 1) / rounds);
    std::fclose(csv);
    return 0;
}
