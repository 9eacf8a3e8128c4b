// Windows: what a control's apply sets aside for its restore.
#ifndef VARNEX_PLATFORM_WIN32_SAVED_CONTROL_H
#define VARNEX_PLATFORM_WIN32_SAVED_CONTROL_H

#include <cstdint>

namespace platform {

struct SavedControl {
    int64_t value;
};

}  // namespace platform

#endif
