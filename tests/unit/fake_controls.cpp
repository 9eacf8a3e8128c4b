// The fake controls: each control reports what the test set, and an applied
// one saves 100 + its number for its restore to hand back.
#include "fake_world.h"
#include "platform/controls.h"

namespace platform {

using namespace fake;

bool affinity_usable(uint64_t mask)
{
    return mask != 0;
}

AffinityStore* create_affinity_store()
{
    return static_cast<AffinityStore*>(issue_recorded("create_affinity_store"));
}

void close_affinity_store(AffinityStore* store)
{
    release_recorded("close_affinity_store", store);
}

ControlResult apply_control(Control control, const ControlRequest&, SavedControl* saved)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "apply_control", nullptr, static_cast<int64_t>(control));
    const auto found = w.control_results.find(control);
    const ControlResult result = found == w.control_results.end() ? ControlResult::kApplied : found->second;
    saved->value = 100 + static_cast<int64_t>(control);
    return result;
}

void restore_control(Control, const ControlRequest&, const SavedControl& saved)
{
    World& w = world();
    std::lock_guard<std::mutex> lock(w.mutex);
    record(w, "restore_control", nullptr, saved.value);
}

}  // namespace platform
