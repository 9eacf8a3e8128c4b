// What varnex-doctor asks of the system it runs on, written once per system:
// doctor_linux.cpp and doctor_windows.cpp. "unknown" stands wherever the
// system does not say.
#ifndef VARNEX_TOOLS_DOCTOR_SYSTEM_H
#define VARNEX_TOOLS_DOCTOR_SYSTEM_H

#include <string>
#include <vector>

struct Fact {
    std::string name;
    std::string value;
};

// The lines between the counter's and the oversleep sample's: the clock
// source, a hypervisor, the kernel, timers, CPUs and power.
std::vector<Fact> system_facts();

// The hypervisor's vendor from the processor (CPUID) on x86, or "none";
// elsewhere as the system names it (doctor_hypervisor_linux.cpp), or "unknown".
std::string hypervisor();

#endif
