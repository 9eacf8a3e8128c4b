// The demo's command line.
#ifndef VARNEX_TOOLS_DEMO_OPTIONS_H
#define VARNEX_TOOLS_DEMO_OPTIONS_H

#include <string>

#include "varnex/pacer.h"

enum class Variant { kPolling, kThreaded, kPacer };

constexpr const char* kProgramName = "varnex-demo";

struct Options {
    Variant variant = Variant::kPolling;
    uint32_t mode = VARNEX_MODE_HYBRID;
    uint32_t missed = VARNEX_MISSED_SKIP;
    uint32_t align_flags = 0;  // VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK, with VARNEX_PACER_TAI
    double budget_us = -1.0;   // the hybrid's lateness budget; -1: none set
    // A simulated reference for the pacer to follow: its rate against the
    // library's clock and its readings' jitter.
    bool follow_reference = false;
    double reference_ppm = 0.0;
    double reference_jitter_us = 0.0;
    // The pacer on a simulated clock that moves itself to each deadline.
    bool simulated = false;
    varnex_pacer_controls controls{sizeof(varnex_pacer_controls), 0, 0, 0, 0};
    long rate = 1000;
    long ticks = 2000;
    double seconds = 0.0;
    int priority_index = 0;
    std::string csv_path;
};

constexpr int kRunDemo = -1;

// kRunDemo, or the status to exit with: after --help or --version (0, or 1
// if it could not be written), or 2 on bad usage (its message printed).
int parse_options(int argc, char** argv, Options& options);

#endif
