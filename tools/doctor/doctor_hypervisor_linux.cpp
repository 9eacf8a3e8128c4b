// Linux on a processor without CPUID (aarch64): the hypervisor as the system
// names it. A Xen guest has /sys/hypervisor/type; a guest on a device tree
// has a hypervisor node. KVM on ARM names itself in neither, so a guest
// reads "unknown" rather than "none".
#include <fstream>
#include <string>

#include "doctor_system.h"

std::string hypervisor()
{
    for (const char* path : {"/sys/hypervisor/type", "/proc/device-tree/hypervisor/compatible"}) {
        std::ifstream file(path);
        std::string name;
        // The device tree's strings end in NUL.
        if (file && std::getline(file, name, '\0') && !name.empty()) {
            name.erase(name.find_last_not_of('\n') + 1);
            return name;
        }
    }
    return "unknown";
}
