#include "aligned_clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "host_os.h"
#include "varnex/pacer.hpp"

namespace aligned {

std::vector<Return> pace(uint32_t rate, int ticks, bool align)
{
    std::vector<Return> returns;
    varnex::Pacer pacer(rate, 1, VARNEX_MODE_HYBRID, VARNEX_MISSED_SKIP,
                        align ? varnex::Align::kSystemClock : varnex::Align::kCounter);
    varnex_tick tick{};
    returns.reserve(static_cast<size_t>(ticks));
    for (int wait = 0; wait < ticks; ++wait) {
        if (pacer.wait(tick) != VARNEX_OK) {
            return {};
        }
        returns.push_back({tick.index, host::system_clock_ns()});
    }
    return returns;
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

bool write_report(const std::string& file, const std::vector<Return>& returns)
{
    FILE* out = file == "-" ? stdout : std::fopen((file + ".part").c_str(), "w");
    if (out == nullptr) {
        return false;
    }
    for (const Return& tick : returns) {
        std::fprintf(out, "%llu %lld\n", static_cast<unsigned long long>(tick.index), tick.system_ns);
    }
    std::fprintf(out, "end\n");
    if (out == stdout) {
        return std::fflush(out) == 0;
    }
    // Whole or not at all, for a reader that polls for it.
    // Windows renames onto no existing file.
    std::remove(file.c_str());
    return std::fclose(out) == 0 && std::rename((file + ".part").c_str(), file.c_str()) == 0;
}

std::vector<Return> read_report(std::istream& in)
{
    std::vector<Return> returns;
    std::string word;
    while (in >> word && word != "end") {
        Return tick{std::stoull(word), 0};
        in >> tick.system_ns;
        returns.push_back(tick);
    }
    return word == "end" ? returns : std::vector<Return>{};
}

}  // namespace aligned
