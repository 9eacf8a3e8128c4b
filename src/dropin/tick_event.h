// The tick event's guard: the worker's SetEvent and the close's CloseHandle
// never meet, so nothing signals an event after the library released it.
#ifndef VARNEX_TICK_EVENT_H
#define VARNEX_TICK_EVENT_H

#include <cstdint>

// Before hTimerEvent takes `event`: the event's gate, open and idle.
void open_tick_event_gate(void* event);

// The worker's signal: skipped unless the worker still owns the timer.
void signal_tick_event(uint32_t worker_thread_id);

// Takes the event out of hTimerEvent and releases it, at once or, when a
// worker is inside its SetEvent, as that worker leaves it. Never waits.
void release_tick_event();

bool worker_owns_timer(uint32_t worker_thread_id);

#endif
