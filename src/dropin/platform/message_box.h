// The drop-in timers' failed-open report.
#ifndef VARNEX_DROPIN_PLATFORM_MESSAGE_BOX_H
#define VARNEX_DROPIN_PLATFORM_MESSAGE_BOX_H

namespace platform {

// The failed-open report: a modal box with one OK button; returns once it is
// dismissed.
void show_message_box(const char* text, const char* caption);

}  // namespace platform

#endif
