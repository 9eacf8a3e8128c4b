// The benchmarks' output: one CSV row per sample, and a table row per method.
#ifndef VARNEX_BENCH_TABLE_H
#define VARNEX_BENCH_TABLE_H

#include <cstdio>
#include <string>
#include <vector>

#include "methods.h"

// The CSV's platform column.
#if defined(_WIN32) && defined(__i386__)
constexpr const char* kPlatform = "windows i686";
#elif defined(_WIN32)
constexpr const char* kPlatform = "windows x64";
#else
constexpr const char* kPlatform = "linux";
#endif

// The CSV's columns: platform,method_id,method,rate,kind,value_ns, where kind
// is error, lag, drift (one row per round), long drift (over one long run),
// cpu (CPU seconds per second, one row per round), read or margin.
constexpr const char* kCsvHeader = "platform,method_id,method,rate,kind,value_ns\n";
void write_sample(std::FILE* csv, const std::string& id, const std::string& name, long rate, const char* kind,
                  double value);
// A round's samples, drift and CPU.
void write_round(std::FILE* csv, const Method& method, const Round& round);

std::string format_ns(double value);
void print_header();
void print_row(const std::string& name, long rate, std::vector<double> values_ns, double cpu);

// Every method takes `rounds` turns of `ticks_per_round` ticks, in order, so
// that a noisy minute falls on all of them; then a row of each is printed.
void run_rounds(std::FILE* csv, const std::vector<Method>& methods, int rounds, long ticks_per_round);

#endif
