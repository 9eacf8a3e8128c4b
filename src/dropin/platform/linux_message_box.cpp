// Linux: the failed-open report goes to stderr, where a host's user sees it.
#include <cstdio>

#include "dropin/platform/message_box.h"

namespace platform {

void show_message_box(const char* text, const char* caption)
{
    std::fprintf(stderr, "%s: %s\n", caption, text);
}

}  // namespace platform
