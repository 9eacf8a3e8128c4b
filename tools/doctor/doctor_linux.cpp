// Linux: sysfs and procfs say most of it.
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "doctor_system.h"

namespace {

// The file's first line, or "unknown" where there is no such file.
std::string first_line(const char* path)
{
    std::ifstream file(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        return "unknown";
    }
    return line;
}

std::string cpu_list(const char* path)
{
    const std::string list = first_line(path);
    return list.empty() ? "none" : list;
}

std::string clocksource()
{
    const std::string source = first_line("/sys/devices/system/clocksource/clocksource0/current_clocksource");
    if (source == "tsc" || source == "kvm-clock" || source == "hyperv_clocksource_tsc_page" || source == "arch_sys_counter") {
        return source + " (read through the vDSO: no system call)";
    }
    if (source == "hpet" || source == "acpi_pm") {
        return source + " (every read is a system call of microseconds)";
    }
    return source;
}

// A board names itself in its device tree's model ("Raspberry Pi 5 Model B
// Rev 1.0", a NUL-terminated string); a PC or a virtual machine in its
// firmware's DMI table.
std::string machine()
{
    std::ifstream model("/proc/device-tree/model");
    std::string name;
    if (model && std::getline(model, name, '\0') && !name.empty()) {
        return name;
    }
    const std::string vendor = first_line("/sys/class/dmi/id/sys_vendor");
    const std::string product = first_line("/sys/class/dmi/id/product_name");
    if (vendor == "unknown" && product == "unknown") {
        return "unknown";
    }
    return vendor + " " + product;
}

std::string preempt_rt()
{
    if (first_line("/sys/kernel/realtime") == "1") {
        return "yes";
    }
    utsname name{};
    if (uname(&name) != 0) {
        return "unknown";
    }
    return std::string(name.version).find("PREEMPT_RT") != std::string::npos ? "yes" : "no";
}

std::string dma_latency()
{
    if (access("/dev/cpu_dma_latency", F_OK) != 0) {
        return "absent";
    }
    return access("/dev/cpu_dma_latency", W_OK) == 0 ? "present, writable here"
                                                     : "present, not writable here (root, or a udev rule)";
}

}  // namespace

std::vector<Fact> system_facts()
{
    // glibc's prctl returns an int: a slack of 2^31 ns or more comes whole
    // only through the system call.
    const long slack_ns = syscall(SYS_prctl, PR_GET_TIMERSLACK, 0, 0, 0, 0);
    return {
        {"clocksource", clocksource()},
        {"machine", machine()},
        {"hypervisor", hypervisor()},
        {"PREEMPT_RT", preempt_rt()},
        {"timer slack", slack_ns < 0 ? "unknown"
                                     : std::to_string(slack_ns) + " ns (this thread's; a pacer's sleep lowers its own)"},
        {"isolated CPUs", cpu_list("/sys/devices/system/cpu/isolated")},
        {"nohz_full CPUs", cpu_list("/sys/devices/system/cpu/nohz_full")},
        {"cpu_dma_latency", dma_latency()},
        {"CPU governor", first_line("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor")},
    };
}
