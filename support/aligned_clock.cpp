#include "aligned_clock.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "system_clock.h"
#include "varnex/pacer.hpp"

namespace aligned {

Report pace(uint32_t rate, int ticks, bool align, uint32_t margin_ns)
{
    varnex_pacer_config config;
    varnex_pacer_config_init(&config);
    config.rate_num = rate;
    config.rate_den = 1;
    config.mode = VARNEX_MODE_HYBRID;
    config.margin_ns = margin_ns;
    config.flags = align ? VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK : 0;
    Report report;
    report.created_ns = system_clock_ns(false);
    varnex::Pacer pacer(config);
    varnex_tick tick{};
    report.returns.reserve(static_cast<size_t>(ticks));
    for (int wait = 0; wait < ticks; ++wait) {
        if (pacer.wait(tick) != VARNEX_OK) {
            return {};
        }
        report.returns.push_back({tick.index, system_clock_ns(false)});
    }
    report.cpu_ns = pacer.stats().cpu_ns;
    return report;
}

int report_main(int argc, char** argv)
{
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s --report FILE RATE TICKS ALIGNED [START_NS [MARGIN_NS]]\n", argv[0]);
        return 2;
    }
    if (argc > 6) {
        const long long ahead_ns = std::atoll(argv[6]) - system_clock_ns(false);
        std::this_thread::sleep_for(std::chrono::nanoseconds(ahead_ns > 0 ? ahead_ns : 0));
    }
    const Report report = pace(static_cast<uint32_t>(std::atoi(argv[3])), std::atoi(argv[4]),
                               std::strcmp(argv[5], "1") == 0, argc > 7 ? static_cast<uint32_t>(std::atol(argv[7])) : 0);
    return !report.returns.empty() && write_report(argv[2], report) ? 0 : 1;
}

long long offset_from_grid_ns(const Return& tick, uint32_t rate)
{
    const long long period_ns = 1000000000LL / rate;
    return tick.system_ns - static_cast<long long>(tick.index) * period_ns;
}

long long percentile_ns(std::vector<long long> values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

std::vector<long long> same_index_offsets_ns(const std::vector<Return>& first, const std::vector<Return>& second)
{
    std::vector<long long> offsets;
    for (const Return& tick : second) {
        for (const Return& other : first) {
            if (other.index == tick.index) {
                offsets.push_back(std::llabs(tick.system_ns - other.system_ns));
            }
        }
    }
    return offsets;
}

bool write_report(const std::string& file, const Report& report)
{
    FILE* out = file == "-" ? stdout : std::fopen((file + ".part").c_str(), "w");
    if (out == nullptr) {
        return false;
    }
    for (const Return& tick : report.returns) {
        std::fprintf(out, "%llu %lld\n", tick.index, tick.system_ns);
    }
    std::fprintf(out, "end %lld %lld\n", report.cpu_ns, report.created_ns);
    if (out == stdout) {
        return std::fflush(out) == 0;
    }
    // Windows renames onto no existing file.
    std::remove(file.c_str());
    return std::fclose(out) == 0 && std::rename((file + ".part").c_str(), file.c_str()) == 0;
}

Report read_report(std::istream& in)
{
    Report report;
    std::string word;
    while (in >> word && word != "end") {
        Return tick{std::stoull(word), 0};
        in >> tick.system_ns;
        report.returns.push_back(tick);
    }
    if (word != "end" || !(in >> report.cpu_ns >> report.created_ns)) {
        return {};
    }
    return report;
}

}  // namespace aligned
