// Windows: the failed-open report.
#include <windows.h>

#include "dropin/platform/message_box.h"

namespace platform {

void show_message_box(const char* text, const char* caption)
{
    MessageBoxA(nullptr, text, caption, MB_OK);
}

}  // namespace platform
