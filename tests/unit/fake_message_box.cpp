// The fake failed-open report: recorded, never shown.
#include <string>

#include "fake_world.h"
#include "dropin/platform/message_box.h"

namespace platform {

using namespace fake;

void show_message_box(const char* text, const char* caption)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "show_message_box", nullptr, 0);
    w.message_boxes.push_back(std::string(caption) + ": " + text);
}

}  // namespace platform
