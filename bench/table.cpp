#include "table.h"

#include <cmath>

#include "percentile.h"

void write_sample(std::FILE* csv, const std::string& id, const std::string& name, long rate, const char* kind,
                  double value)
{
    std::fprintf(csv, "%s,%s,%s,%ld,%s,%.4f\n", kPlatform, id.c_str(), name.c_str(), rate, kind, value);
}

void write_round(std::FILE* csv, const Method& method, const Round& round)
{
    for (const double value : round.values_ns) {
        write_sample(csv, method.id, method.name, method.rate, method.lag ? "lag" : "error", value);
    }
    if (!method.lag) {
        write_sample(csv, method.id, method.name, method.rate, "drift", round.drift_ns);
    }
    write_sample(csv, method.id, method.name, method.rate, "cpu", round.cpu_per_second);
    std::fflush(csv);
}

std::string format_ns(double value)
{
    char text[32];
    const double magnitude = std::fabs(value);
    if (std::isnan(value)) {
        return "-";
    }
    if (magnitude >= 1e6) {
        std::snprintf(text, sizeof text, "%.2f ms", value / 1e6);
    } else if (magnitude >= 1e3) {
        std::snprintf(text, sizeof text, "%.1f us", value / 1e3);
    } else {
        std::snprintf(text, sizeof text, "%.0f ns", value);
    }
    return text;
}

void print_header()
{
    std::printf("%-34s %6s %10s %10s %10s %10s %8s\n", "method", "rate", "p50", "p99", "p99.9", "max", "CPU/s");
}

void print_row(const std::string& name, long rate, std::vector<double> values_ns, double cpu)
{
    for (double& value : values_ns) {
        value = std::fabs(value);
    }
    std::printf("%-34s %6ld %10s %10s %10s %10s %8.3f\n", name.c_str(), rate,
                format_ns(percentile(values_ns, 0.5)).c_str(), format_ns(percentile(values_ns, 0.99)).c_str(),
                format_ns(percentile(values_ns, 0.999)).c_str(), format_ns(percentile(values_ns, 1.0)).c_str(), cpu);
}

void run_rounds(std::FILE* csv, const std::vector<Method>& methods, int rounds, long ticks_per_round)
{
    std::vector<std::vector<double>> values_ns(methods.size());
    std::vector<std::vector<double>> cpu(methods.size());
    for (int round = 1; round <= rounds; ++round) {
        for (size_t index = 0; index < methods.size(); ++index) {
            const Method& method = methods[index];
            const Round result = method.run(ticks_per_round);
            values_ns[index].insert(values_ns[index].end(), result.values_ns.begin(), result.values_ns.end());
            cpu[index].push_back(result.cpu_per_second);
            write_round(csv, method, result);
            std::fprintf(stderr, "round %d/%d: %s at %ld/s\n", round, rounds, method.name.c_str(), method.rate);
        }
    }
    std::printf("|lateness| (lag for the hand-offs), %ld ticks a row over %d rounds:\n", ticks_per_round * rounds,
                rounds);
    print_header();
    for (size_t index = 0; index < methods.size(); ++index) {
        print_row(methods[index].name, methods[index].rate, values_ns[index], percentile(cpu[index], 0.5));
    }
}
