// The pacer's scheduling and power controls.
#ifndef VARNEX_PLATFORM_CONTROLS_H
#define VARNEX_PLATFORM_CONTROLS_H

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include "platform/win32_saved_control.h"
#else
#include "platform/linux_saved_control.h"
#endif

namespace platform {

// The pacer's scheduling and power controls. Each apply fills `saved` with
// what its restore puts back. kDenied: the system refused it (a missing
// privilege); kUnsupported: this system has no such control, or the thread
// is in a state the restore could not put back. The thread controls act on
// the calling thread; memory and latency hold for as long as the pacer lives.
enum class Control { kBoost, kAffinity, kRealtime, kLockMemory, kDmaLatency, kNoThrottling, kMmcss };
enum class ControlResult { kApplied, kDenied, kUnsupported };
struct AffinityStore;
struct ControlRequest {
    uint64_t affinity_mask;
    uint32_t realtime_priority;
    uint32_t dma_latency_us;
    void* memory;
    size_t memory_bytes;
    // Where the affinity's apply keeps the thread's own CPU set: from
    // create_affinity_store, made between waits so that no wait allocates.
    AffinityStore* affinity_store;
};
// What an apply set aside for its restore, a SavedControl, is each system's
// own record: the pacer holds it where the apply put it until the restore,
// and never reads it.
ControlResult apply_control(Control control, const ControlRequest& request, SavedControl* saved);
void restore_control(Control control, const ControlRequest& request, const SavedControl& saved);
// False when `mask` names no CPU that the calling thread may run on, or one
// that the system's masks cannot name (above 31 on 32-bit Windows).
bool affinity_usable(uint64_t mask);
// Room for a thread's whole CPU set, every CPU of the machine; null on
// failure.
AffinityStore* create_affinity_store();
void close_affinity_store(AffinityStore* store);

}  // namespace platform

#endif
