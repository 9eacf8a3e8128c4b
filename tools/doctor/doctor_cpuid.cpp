#include <cpuid.h>

#include <cstring>

#include "doctor_system.h"

// Leaf 1's ECX bit 31 says a hypervisor runs the processor; leaf
// 0x40000000 names it.
std::string hypervisor()
{
    unsigned int eax = 0;
    unsigned int ebx = 0;
    unsigned int ecx = 0;
    unsigned int edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & (1u << 31)) == 0) {
        return "none";
    }
    __cpuid(0x40000000, eax, ebx, ecx, edx);
    char vendor[13] = {};
    std::memcpy(vendor, &ebx, 4);
    std::memcpy(vendor + 4, &ecx, 4);
    std::memcpy(vendor + 8, &edx, 4);
    std::string name(vendor);
    name.erase(name.find_last_not_of(' ') + 1);
    if (name == "KVMKVMKVM") {
        return "KVM";
    }
    if (name == "Microsoft Hv") {
        return "Hyper-V";
    }
    if (name == "VMwareVMware") {
        return "VMware";
    }
    if (name == "XenVMMXenVMM") {
        return "Xen";
    }
    return name.empty() ? "a hypervisor (unnamed)" : name;
}
