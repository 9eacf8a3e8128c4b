// The clock the host drives: its C entry points, the advance and its settle,
// auto-advance, and the slots through which each pacer's wait says where it
// is. Lock-free but for the advance lock, which only advances take: a named
// clock's memory may be shared with processes that end at any instant.
#include "pacer/sim_clock.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "platform/counter.h"
#include "platform/pages.h"
#include "platform/threads.h"

static_assert(sizeof(varnex_sim_clock_config) == 80 && offsetof(varnex_sim_clock_config, start_ns) == 8 &&
                  offsetof(varnex_sim_clock_config, name) == 16,
              "fixed for 32- and 64-bit hosts");
static_assert(sizeof(SimSlot) == 40 && offsetof(SimSlot, due_ns) == 32 && sizeof(SimProcess) == 8 &&
                  offsetof(SimShared, now_ns) == 16 && offsetof(SimShared, reset_to_ns) == 32 &&
                  offsetof(SimShared, processes) == 64 &&
                  offsetof(SimShared, slots) == 64 + 8 * kSimMaxProcesses &&
                  sizeof(SimShared) == 64 + 8 * kSimMaxProcesses + 40 * kSimMaxPacers,
              "one layout for 32- and 64-bit processes");
// Another process's atomics are only those the hardware makes atomic.
static_assert(std::atomic<int64_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "a named clock's words are shared between processes");

namespace {

constexpr auto kSeqCst = std::memory_order_seq_cst;
constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr int64_t kMaxReadingNs = int64_t{1} << 62;
constexpr size_t kMaxNameLength = 63;
// A named clock's waits look this often whether the other processes live.
constexpr int64_t kLivenessCheckNs = 100000000;
constexpr uint32_t kAllSimFlags = VARNEX_SIM_AUTO_ADVANCE;

// Slots below this may be taken: never more than there are, whatever another
// process of the user wrote into the shared memory.
uint32_t slots_in_use(const SimShared& shared)
{
    return std::min(shared.slots_in_use.load(std::memory_order_seq_cst), kSimMaxPacers);
}
// A pacer slot's owner once its process ended and another took the process
// slot: a process slot that no process ever claims.
constexpr uint32_t kEndedProcess = kSimMaxProcesses + 1;

int64_t real_ns()
{
    int64_t frequency = 0;
    platform::query_frequency(&frequency);
    const int64_t counts = platform::read_counter();
    return frequency == 1000000000 ? counts
                                   : static_cast<int64_t>(static_cast<double>(counts) * 1e9 /
                                                          static_cast<double>(frequency));
}

bool valid_name(const char* name, size_t length)
{
    if (length == 0 || length > kMaxNameLength) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        const char c = name[i];
        const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                             c == '.' || c == '_' || c == '-';
        if (!allowed) {
            return false;
        }
    }
    return true;
}

int status_of(platform::ClockMemoryResult result)
{
    switch (result) {
    case platform::ClockMemoryResult::kOpened:
        return VARNEX_OK;
    case platform::ClockMemoryResult::kNoMemory:
        return VARNEX_E_NO_MEMORY;
    case platform::ClockMemoryResult::kNameInUse:
        return VARNEX_E_NAME_IN_USE;
    case platform::ClockMemoryResult::kNotFound:
        return VARNEX_E_NOT_FOUND;
    case platform::ClockMemoryResult::kAccessDenied:
        return VARNEX_E_ACCESS_DENIED;
    default:
        return VARNEX_E_NO_COUNTER;
    }
}

bool gone(const varnex_sim_clock& clock)
{
    return clock.shared->gone.load(kSeqCst) != 0;
}

// Whether the process that owns `slot` still lives; this process does.
bool owner_alive(varnex_sim_clock& clock, const SimSlot& slot)
{
    const uint32_t owner = slot.process.load(kRelaxed);
    if (owner == 0 || owner - 1 == clock.process_slot || !clock.named) {
        return true;
    }
    return platform::process_slot_alive(clock.memory, owner - 1);
}

void notify_settlers(SimShared& shared, varnex_sim_clock& clock)
{
    if (shared.settlers.load(kSeqCst) != 0) {
        shared.settle_word.fetch_add(1, kSeqCst);
        platform::wake_word(clock.memory, platform::kSettleEvent, &shared.settle_word);
    }
}

void wake_slot(varnex_sim_clock& clock, uint32_t index)
{
    SimSlot& slot = clock.shared->slots[index];
    slot.wake.fetch_add(1, kSeqCst);
    if (slot.sleeping.load(kSeqCst) != 0) {
        platform::wake_word(clock.memory, index, &slot.wake);
    }
}

// A handle armed "now": ready until its pacer's next wait re-arms it.
void arm_now(platform::ReadyTimer* timer)
{
    platform::arm_ready_timer(timer, platform::read_counter());
}

// The clock moved to `to_ns` (a reset with `reset`): the pacers it made due,
// or every pacer after a reset, wake, and their handles turn ready (this
// process's here; another's by its watcher).
void moved(varnex_sim_clock& clock, int64_t to_ns, bool reset)
{
    SimShared& shared = *clock.shared;
    const uint32_t in_use = slots_in_use(shared);
    clock.arming.fetch_add(1, kSeqCst);
    for (uint32_t i = 0; i < in_use; ++i) {
        SimSlot& slot = shared.slots[i];
        if (slot.state.load(kSeqCst) != kSlotBack || (!reset && slot.due_ns.load(kSeqCst) > to_ns)) {
            continue;
        }
        wake_slot(clock, i);
        if (slot.has_handle.load(kSeqCst) == 0) {
            continue;
        }
        const uint32_t owner = slot.process.load(kRelaxed);
        if (owner - 1 == clock.process_slot) {
            if (platform::ReadyTimer* timer = clock.handles[i].load(kSeqCst);
                timer != nullptr && clock.handle_generations[i].load(kSeqCst) == platform::process_generation()) {
                arm_now(timer);
            }
        } else if (owner != 0 && owner <= kSimMaxProcesses) {
            SimProcess& process = shared.processes[owner - 1];
            process.watch.fetch_add(1, kSeqCst);
            platform::wake_word(clock.memory, kSimMaxPacers + owner - 1, &process.watch);
        }
    }
    clock.arming.fetch_sub(1, kSeqCst);
}

// With auto-advance: when no live pacer is pending, the clock moves to the
// earliest deadline that its pacers wait for. A move that another made first
// fails the exchange; its maker wakes what it made due.
void auto_advance(varnex_sim_clock& clock)
{
    SimShared& shared = *clock.shared;
    if ((shared.flags & VARNEX_SIM_AUTO_ADVANCE) == 0) {
        return;
    }
    int64_t now = shared.now_ns.load(kSeqCst);
    const uint32_t resets = shared.resets.load(kSeqCst);
    if ((resets & 1) != 0) {
        return;
    }
    int64_t earliest = std::numeric_limits<int64_t>::max();
    const uint32_t in_use = slots_in_use(shared);
    for (uint32_t i = 0; i < in_use; ++i) {
        const SimSlot& slot = shared.slots[i];
        const uint32_t state = slot.state.load(kSeqCst);
        // A pacer of a process that ended stalls nothing, and waits for nothing.
        if (state == kSlotFree || !owner_alive(clock, slot)) {
            continue;
        }
        const int64_t due = slot.due_ns.load(kSeqCst);
        if (state != kSlotBack || slot.resets_seen.load(kSeqCst) != resets || due <= now) {
            // A process that ended, busy for ever, holds the clock no more.
            if (owner_alive(clock, slot)) {
                return;
            }
            continue;
        }
        earliest = std::min(earliest, due);
    }
    if (earliest == std::numeric_limits<int64_t>::max() ||
        !shared.now_ns.compare_exchange_strong(now, earliest, kSeqCst)) {
        return;
    }
    moved(clock, earliest, false);
}

// A pacer that counts for a settle at `to_ns`: busy, or back for a deadline
// the clock reached or from before the latest reset. The calling thread's own
// pacers cannot come back before the advance returns, and a dead process's
// never: neither is waited for.
bool pending(varnex_sim_clock& clock, const SimSlot& slot, int64_t to_ns, uint32_t resets, uint32_t thread)
{
    const uint32_t state = slot.state.load(kSeqCst);
    if (state == kSlotFree) {
        return false;
    }
    const bool waiting = state == kSlotBusy || slot.resets_seen.load(kSeqCst) != resets ||
                         slot.due_ns.load(kSeqCst) <= to_ns;
    if (!waiting) {
        return false;
    }
    const bool own = slot.process.load(kRelaxed) == clock.process_slot + 1 && slot.thread.load(kRelaxed) == thread;
    return !own && owner_alive(clock, slot);
}

int settle(varnex_sim_clock& clock, int64_t to_ns, int64_t timeout_ns)
{
    SimShared& shared = *clock.shared;
    const uint32_t thread = platform::current_thread_id();
    const int64_t end_ns = timeout_ns > std::numeric_limits<int64_t>::max() - real_ns()
                               ? std::numeric_limits<int64_t>::max()
                               : real_ns() + timeout_ns;
    shared.settlers.fetch_add(1, kSeqCst);
    int status = VARNEX_OK;
    for (;;) {
        const uint32_t word = shared.settle_word.load(kSeqCst);
        const uint32_t resets = shared.resets.load(kSeqCst) & ~uint32_t{1};
        // Another thread's reset below `to_ns` leaves deadlines up to `to_ns`
        // that the clock no longer reaches: the pacers back for them are not
        // pending.
        const int64_t reached_ns = std::min(to_ns, shared.now_ns.load(kSeqCst));
        const uint32_t in_use = slots_in_use(shared);
        bool any = false;
        for (uint32_t i = 0; i < in_use && !any; ++i) {
            any = pending(clock, shared.slots[i], reached_ns, resets, thread);
        }
        if (!any) {
            break;
        }
        const int64_t left_ns = end_ns - real_ns();
        if (left_ns <= 0) {
            status = VARNEX_E_TIMEOUT;
            break;
        }
        platform::wait_on_word(clock.memory, platform::kSettleEvent, &shared.settle_word, word,
                               clock.named ? std::min(left_ns, kLivenessCheckNs) : left_ns);
    }
    shared.settlers.fetch_sub(1, kSeqCst);
    return status;
}

void lock_advances(varnex_sim_clock& clock)
{
    std::atomic<uint32_t>& lock = clock.shared->advancing;
    const uint32_t mine = clock.process_slot + 1;
    for (uint32_t expected = 0; !lock.compare_exchange_weak(expected, mine, kSeqCst); expected = 0) {
        // A holder that ended holds nothing.
        if (expected != 0 && clock.named && expected - 1 != clock.process_slot &&
            !platform::process_slot_alive(clock.memory, expected - 1)) {
            lock.compare_exchange_strong(expected, 0, kSeqCst);
        }
    }
}

void unlock_advances(varnex_sim_clock& clock)
{
    clock.shared->advancing.store(0, kSeqCst);
}

// The clock's memory and view, the memory already mapped.
varnex_sim_clock* new_view(platform::ClockMemory* memory, bool named, bool creator)
{
    void* bytes = platform::allocate_pages(sizeof(varnex_sim_clock));
    if (bytes == nullptr) {
        return nullptr;
    }
    auto* clock = new (bytes) varnex_sim_clock;
    clock->memory = memory;
    clock->shared = static_cast<SimShared*>(platform::clock_memory_bytes(memory));
    clock->named = named;
    clock->creator = creator;
    clock->generation.store(platform::process_generation(), kSeqCst);
    return clock;
}

void free_view(varnex_sim_clock* clock)
{
    clock->~varnex_sim_clock();
    platform::free_pages(clock, sizeof(varnex_sim_clock));
}

// A process slot of this process's own, claimed until the view closes.
bool take_process_slot(varnex_sim_clock& clock)
{
    for (uint32_t i = 0; i < kSimMaxProcesses; ++i) {
        SimProcess& process = clock.shared->processes[i];
        uint32_t expected = 0;
        if (process.in_use.load(kSeqCst) != 0 &&
            (!clock.named || platform::process_slot_alive(clock.memory, i))) {
            continue;
        }
        // Free, or a slot whose process ended.
        expected = process.in_use.load(kSeqCst);
        if (!process.in_use.compare_exchange_strong(expected, 1, kSeqCst)) {
            continue;
        }
        if (!platform::claim_process_slot(clock.memory, i)) {
            process.in_use.store(0, kSeqCst);
            continue;
        }
        // The pacers of the process that ended are nobody's: a claim may take
        // them, and no settle waits for them.
        for (SimSlot& slot : clock.shared->slots) {
            uint32_t owner = i + 1;
            slot.process.compare_exchange_strong(owner, kEndedProcess, kSeqCst);
        }
        clock.process_slot = i;
        return true;
    }
    return false;
}

// A forked child's copy of a named clock's view, whose process slot, watcher
// and creator's part are the parent's.
bool inherited(const varnex_sim_clock& clock)
{
    return clock.named && clock.generation.load(kSeqCst) != platform::process_generation();
}

// The copy becomes the child's: a process slot of its own (the fork gave the
// child its own open of the file, so its lock is the child's), no watcher
// yet, and not the creator, whose end is still the parent's.
bool own_view(varnex_sim_clock& clock)
{
    if (!inherited(clock)) {
        return true;
    }
    while (clock.renewing.exchange(1, kSeqCst) != 0) {
    }
    bool owned = true;
    if (inherited(clock)) {
        if (clock.watcher != nullptr) {
            platform::forget_clock_thread(clock.watcher);
            clock.watcher = nullptr;
        }
        clock.watcher_state.store(0, kSeqCst);
        clock.creator = false;
        owned = take_process_slot(clock);
        if (owned) {
            clock.generation.store(platform::process_generation(), kSeqCst);
        }
    }
    clock.renewing.store(0, kSeqCst);
    return owned;
}

// Whether `place` is a slot of this process's: on a named clock, a forked
// child's copy holds the parent's until own_sim_place.
bool own_place(const SimPlace& place)
{
    return !place.clock->named || place.generation == platform::process_generation();
}

}  // namespace

int64_t sim_reading(const varnex_sim_clock& clock, uint32_t* resets)
{
    const SimShared& shared = *clock.shared;
    for (;;) {
        const uint32_t before = shared.resets.load(kSeqCst);
        const int64_t now = shared.now_ns.load(kSeqCst);
        if ((before & 1) == 0 && shared.resets.load(kSeqCst) == before) {
            *resets = before;
            return now;
        }
    }
}

namespace {

bool claim_slot(varnex_sim_clock& clock, int64_t first_due_ns, uint32_t resets, SimPlace* place)
{
    SimShared& shared = *clock.shared;
    for (uint32_t i = 0; i < kSimMaxPacers; ++i) {
        SimSlot& slot = shared.slots[i];
        uint32_t owner = slot.process.load(kSeqCst);
        if (owner != 0 && (owner - 1 == clock.process_slot || !clock.named ||
                           platform::process_slot_alive(clock.memory, owner - 1))) {
            continue;
        }
        // Free, or a dead process's: claimed by its owner field.
        if (!slot.process.compare_exchange_strong(owner, clock.process_slot + 1, kSeqCst)) {
            continue;
        }
        slot.thread.store(0, kSeqCst);
        slot.resets_seen.store(resets, kSeqCst);
        slot.has_handle.store(0, kSeqCst);
        slot.due_ns.store(first_due_ns, kSeqCst);
        slot.state.store(kSlotBusy, kSeqCst);
        for (uint32_t in_use = shared.slots_in_use.load(kSeqCst);
             in_use < i + 1 && !shared.slots_in_use.compare_exchange_weak(in_use, i + 1, kSeqCst);) {
        }
        place->slot = i;
        place->resets_seen = resets;
        place->generation = clock.generation.load(kSeqCst);
        return true;
    }
    return false;
}

// This process's handles that the clock made due turn ready; all of them
// once the creator is gone, whose waits then end.
void arm_due_handles(varnex_sim_clock& clock)
{
    SimShared& shared = *clock.shared;
    const bool ended = gone(clock);
    const int64_t now = shared.now_ns.load(kSeqCst);
    const uint32_t resets = shared.resets.load(kSeqCst) & ~uint32_t{1};
    const uint32_t in_use = slots_in_use(shared);
    clock.arming.fetch_add(1, kSeqCst);
    for (uint32_t i = 0; i < in_use; ++i) {
        const SimSlot& slot = shared.slots[i];
        if (slot.process.load(kSeqCst) != clock.process_slot + 1 || slot.state.load(kSeqCst) != kSlotBack ||
            (!ended && slot.due_ns.load(kSeqCst) > now && slot.resets_seen.load(kSeqCst) == resets)) {
            continue;
        }
        if (platform::ReadyTimer* timer = clock.handles[i].load(kSeqCst); timer != nullptr) {
            arm_now(timer);
        }
    }
    clock.arming.fetch_sub(1, kSeqCst);
}

enum WatcherState : uint32_t { kNoWatcher = 0, kWatching = 1, kWatcherStopping = 2 };

void watch_clock(void* argument)
{
    varnex_sim_clock& clock = *static_cast<varnex_sim_clock*>(argument);
    SimShared& shared = *clock.shared;
    SimProcess& process = shared.processes[clock.process_slot];
    while (clock.watcher_state.load(kSeqCst) == kWatching) {
        const uint32_t seen = process.watch.load(kSeqCst);
        if (!clock.creator && !gone(clock) && !platform::process_slot_alive(clock.memory, shared.creator.load(kSeqCst))) {
            shared.gone.store(1, kSeqCst);
        }
        arm_due_handles(clock);
        platform::wait_on_word(clock.memory, kSimMaxPacers + clock.process_slot, &process.watch, seen,
                               kLivenessCheckNs);
    }
}

// Once per view, with its first handle: a system that gives no thread leaves
// the handles to this process's own advances.
void start_watcher(varnex_sim_clock& clock)
{
    uint32_t none = kNoWatcher;
    if (clock.watcher_state.load(kSeqCst) != kNoWatcher ||
        !clock.watcher_state.compare_exchange_strong(none, kWatching, kSeqCst)) {
        return;
    }
    clock.watcher = platform::start_clock_thread(watch_clock, &clock);
}

void stop_watcher(varnex_sim_clock& clock)
{
    if (clock.watcher_state.exchange(kWatcherStopping, kSeqCst) != kWatching || clock.watcher == nullptr) {
        return;
    }
    SimProcess& process = clock.shared->processes[clock.process_slot];
    process.watch.fetch_add(1, kSeqCst);
    platform::wake_word(clock.memory, kSimMaxPacers + clock.process_slot, &process.watch);
    platform::join_clock_thread(clock.watcher);
    clock.watcher = nullptr;
}

}  // namespace

bool take_sim_slot(varnex_sim_clock& clock, int64_t first_due_ns, uint32_t resets, SimPlace* place)
{
    if (!own_view(clock) ||
        !claim_slot(clock, first_due_ns, resets, place)) {
        return false;
    }
    clock.references.fetch_add(1, kSeqCst);
    place->clock = &clock;
    return true;
}

int own_sim_place(SimPlace& place)
{
    varnex_sim_clock& clock = *place.clock;
    if (own_place(place)) {
        return VARNEX_OK;
    }
    if (!own_view(clock)) {
        return VARNEX_E_NO_MEMORY;
    }
    const uint32_t copied = place.slot;
    platform::ReadyTimer* timer = clock.handles[copied].exchange(nullptr, kSeqCst);
    if (!claim_slot(clock, clock.shared->slots[copied].due_ns.load(kSeqCst), place.resets_seen, &place)) {
        clock.handles[copied].store(timer, kSeqCst);
        return VARNEX_E_NO_MEMORY;
    }
    if (timer != nullptr) {
        set_sim_handle(place, timer);
    }
    return VARNEX_OK;
}

void release_sim_slot(SimPlace& place)
{
    varnex_sim_clock& clock = *place.clock;
    SimSlot& slot = clock.shared->slots[place.slot];
    clock.handles[place.slot].store(nullptr, kSeqCst);
    // An advance that read the timer arms it before its pacer closes it.
    while (clock.arming.load(kSeqCst) != 0) {
    }
    // A forked child's copy that never waited leaves the parent's slot be.
    if (own_place(place)) {
        slot.state.store(kSlotFree, kSeqCst);
        slot.has_handle.store(0, kSeqCst);
        slot.process.store(0, kSeqCst);
        notify_settlers(*clock.shared, clock);
        auto_advance(clock);
    }
    release_clock(&clock);
    place.clock = nullptr;
}

void release_clock(varnex_sim_clock* clock)
{
    if (clock->references.fetch_sub(1, kSeqCst) != 1) {
        return;
    }
    SimShared& shared = *clock->shared;
    if (inherited(*clock)) {
        // A forked child's copy: all of it is the parent's.
        if (clock->watcher != nullptr) {
            platform::forget_clock_thread(clock->watcher);
        }
        platform::close_clock_memory(clock->memory);
        free_view(clock);
        return;
    }
    stop_watcher(*clock);
    if (clock->creator) {
        // The other processes' waits end, and their watchers arm their
        // handles: this clock moves no more.
        shared.gone.store(1, kSeqCst);
        const uint32_t in_use = slots_in_use(shared);
        for (uint32_t i = 0; i < in_use; ++i) {
            wake_slot(*clock, i);
        }
        for (uint32_t i = 0; clock->named && i < kSimMaxProcesses; ++i) {
            shared.processes[i].watch.fetch_add(1, kSeqCst);
            platform::wake_word(clock->memory, kSimMaxPacers + i, &shared.processes[i].watch);
        }
        shared.settle_word.fetch_add(1, kSeqCst);
        platform::wake_word(clock->memory, platform::kSettleEvent, &shared.settle_word);
    }
    if (clock->named) {
        shared.processes[clock->process_slot].in_use.store(0, kSeqCst);
        platform::release_process_slot(clock->memory, clock->process_slot);
    }
    platform::close_clock_memory(clock->memory);
    free_view(clock);
}

bool unseen_reset(const SimPlace& place, uint32_t* resets, int64_t* reset_to_ns)
{
    const SimShared& shared = *place.clock->shared;
    for (;;) {
        const uint32_t before = shared.resets.load(kSeqCst);
        if (before == place.resets_seen) {
            return false;
        }
        const int64_t to_ns = shared.reset_to_ns.load(kSeqCst);
        if ((before & 1) == 0 && shared.resets.load(kSeqCst) == before) {
            *resets = before;
            *reset_to_ns = to_ns;
            return true;
        }
    }
}

namespace {

void mark_back(SimPlace& place, SimSlot& slot, int64_t due_ns)
{
    varnex_sim_clock& clock = *place.clock;
    slot.thread.store(platform::current_thread_id(), kRelaxed);
    slot.due_ns.store(due_ns, kSeqCst);
    slot.resets_seen.store(place.resets_seen, kSeqCst);
    slot.state.store(kSlotBack, kSeqCst);
    notify_settlers(*clock.shared, clock);
    auto_advance(clock);
}

}  // namespace

void mark_busy(SimPlace& place)
{
    place.clock->shared->slots[place.slot].state.store(kSlotBusy, kSeqCst);
}

SimReached block_on_clock(SimPlace& place, int64_t due_ns, std::atomic<uint32_t>& cancel_requested,
                          bool return_on_signal)
{
    varnex_sim_clock& clock = *place.clock;
    SimShared& shared = *clock.shared;
    SimSlot& slot = shared.slots[place.slot];
    int64_t blocked_ns = 0;
    uint32_t resets = 0;
    int64_t reset_to_ns = 0;
    for (;;) {
        const uint32_t wake = slot.wake.load(kSeqCst);
        if (cancel_requested.load(kRelaxed) != 0 && cancel_requested.exchange(0) != 0) {
            mark_busy(place);
            return {SimBlock::kCancelled, sim_now(clock), blocked_ns};
        }
        if (unseen_reset(place, &resets, &reset_to_ns)) {
            mark_busy(place);
            return {SimBlock::kReset, sim_now(clock), blocked_ns};
        }
        mark_back(place, slot, due_ns);
        const int64_t now = sim_now(clock);
        if (now >= due_ns) {
            mark_busy(place);
            return {SimBlock::kReached, now, blocked_ns};
        }
        if (gone(clock)) {
            mark_busy(place);
            return {SimBlock::kGone, now, blocked_ns};
        }
        slot.sleeping.store(1, kSeqCst);
        platform::WordWait waited = platform::WordWait::kWoken;
        const int64_t start_ns = real_ns();
        if (slot.wake.load(kSeqCst) == wake && cancel_requested.load(kSeqCst) == 0) {
            waited = platform::wait_on_word(clock.memory, place.slot, &slot.wake, wake,
                                            clock.named ? kLivenessCheckNs : -1);
        }
        blocked_ns += real_ns() - start_ns;
        slot.sleeping.store(0, kSeqCst);
        if (waited == platform::WordWait::kInterrupted && return_on_signal) {
            mark_busy(place);
            return {SimBlock::kInterrupted, sim_now(clock), blocked_ns};
        }
        if (waited == platform::WordWait::kTimedOut && !clock.creator &&
            !platform::process_slot_alive(clock.memory, shared.creator.load(kSeqCst))) {
            shared.gone.store(1, kSeqCst);
        }
    }
}

bool back_on_handle(SimPlace& place, int64_t due_ns)
{
    SimSlot& slot = place.clock->shared->slots[place.slot];
    mark_back(place, slot, due_ns);
    if (sim_now(*place.clock) >= due_ns) {
        mark_busy(place);
        return true;
    }
    return false;
}

void set_sim_handle(SimPlace& place, platform::ReadyTimer* timer)
{
    varnex_sim_clock& clock = *place.clock;
    clock.handle_generations[place.slot].store(platform::process_generation(), kSeqCst);
    clock.handles[place.slot].store(timer, kSeqCst);
    clock.shared->slots[place.slot].has_handle.store(1, kSeqCst);
    if (clock.named) {
        start_watcher(clock);
    }
}

bool sim_clock_gone(const varnex_sim_clock& clock)
{
    return gone(clock);
}

void wake_sim_waiter(SimPlace& place)
{
    wake_slot(*place.clock, place.slot);
}

extern "C" {

int VARNEX_CALL varnex_sim_clock_create(const varnex_sim_clock_config* config, varnex_sim_clock** clock)
{
    if (clock == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    *clock = nullptr;
    if (config == nullptr || config->size != sizeof(varnex_sim_clock_config) || (config->flags & ~kAllSimFlags) != 0 ||
        config->start_ns < 0 || config->start_ns > kMaxReadingNs) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    const size_t length = strnlen(config->name, sizeof(config->name));
    const bool named = length != 0;
    if (named && !valid_name(config->name, length)) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    platform::ClockMemory* memory = nullptr;
    if (const int status = status_of(platform::create_clock_memory(named ? config->name : nullptr, sizeof(SimShared),
                                                                   &memory));
        status != VARNEX_OK) {
        return status;
    }
    varnex_sim_clock* created = new_view(memory, named, true);
    if (created == nullptr) {
        platform::close_clock_memory(memory);
        return VARNEX_E_NO_MEMORY;
    }
    SimShared& shared = *created->shared;
    shared.bytes = sizeof(SimShared);
    shared.flags = config->flags;
    shared.now_ns.store(config->start_ns, kSeqCst);
    if (named && !take_process_slot(*created)) {
        free_view(created);
        platform::close_clock_memory(memory);
        return VARNEX_E_NO_COUNTER;
    }
    shared.creator.store(created->process_slot, kSeqCst);
    // Last: an open that finds the magic finds the rest.
    shared.layout_version = kSimLayoutVersion;
    reinterpret_cast<std::atomic<uint32_t>*>(&shared.magic)->store(kSimMagic, kSeqCst);
    *clock = created;
    return VARNEX_OK;
}

int VARNEX_CALL varnex_sim_clock_open(const char* name, varnex_sim_clock** clock)
{
    if (clock == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    *clock = nullptr;
    if (name == nullptr || !valid_name(name, strnlen(name, kMaxNameLength + 1))) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    platform::ClockMemory* memory = nullptr;
    if (const int status = status_of(platform::open_clock_memory(name, sizeof(SimShared), &memory));
        status != VARNEX_OK) {
        return status;
    }
    const auto* shared = static_cast<const SimShared*>(platform::clock_memory_bytes(memory));
    const uint32_t magic = reinterpret_cast<const std::atomic<uint32_t>*>(&shared->magic)->load(kSeqCst);
    // A creator stamps the magic last: a clock without one is still being
    // made, and a launcher that started both retries as for a name not there.
    if (magic == 0) {
        platform::close_clock_memory(memory);
        return VARNEX_E_NOT_FOUND;
    }
    if (magic != kSimMagic || shared->layout_version != kSimLayoutVersion || shared->bytes != sizeof(SimShared)) {
        platform::close_clock_memory(memory);
        return VARNEX_E_INCOMPATIBLE;
    }
    varnex_sim_clock* opened = new_view(memory, true, false);
    if (opened == nullptr) {
        platform::close_clock_memory(memory);
        return VARNEX_E_NO_MEMORY;
    }
    if (gone(*opened) || !platform::process_slot_alive(memory, shared->creator.load(kSeqCst))) {
        free_view(opened);
        platform::close_clock_memory(memory);
        return VARNEX_E_CLOCK_GONE;
    }
    if (!take_process_slot(*opened)) {
        free_view(opened);
        platform::close_clock_memory(memory);
        return VARNEX_E_NO_MEMORY;
    }
    *clock = opened;
    return VARNEX_OK;
}

void VARNEX_CALL varnex_sim_clock_destroy(varnex_sim_clock* clock)
{
    if (clock == nullptr) {
        return;
    }
    if (clock->creator && clock->named && !inherited(*clock)) {
        platform::unlink_clock_memory(clock->memory);
    }
    release_clock(clock);
}

int VARNEX_CALL varnex_sim_clock_now(const varnex_sim_clock* clock, int64_t* now_ns)
{
    if (clock == nullptr || now_ns == nullptr) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    *now_ns = sim_now(*clock);
    return gone(*clock) && !clock->creator ? VARNEX_E_CLOCK_GONE : VARNEX_OK;
}

int VARNEX_CALL varnex_sim_clock_advance(varnex_sim_clock* clock, int64_t to_ns, int64_t settle_timeout_ns)
{
    if (clock == nullptr || to_ns < 0 || to_ns > kMaxReadingNs || settle_timeout_ns < -1) {
        return VARNEX_E_INVALID_ARGUMENT;
    }
    if (!own_view(*clock)) {
        return VARNEX_E_NO_MEMORY;
    }
    if (gone(*clock) && !clock->creator) {
        return VARNEX_E_CLOCK_GONE;
    }
    SimShared& shared = *clock->shared;
    lock_advances(*clock);
    int64_t from_ns = shared.now_ns.load(kSeqCst);
    bool reset = false;
    for (;;) {
        if (to_ns < from_ns) {
            // Auto-advance moves no clock while the count is odd.
            shared.resets.fetch_add(1, kSeqCst);
            shared.reset_to_ns.store(to_ns, kSeqCst);
            shared.now_ns.store(to_ns, kSeqCst);
            shared.resets.fetch_add(1, kSeqCst);
            reset = true;
            break;
        }
        if (shared.now_ns.compare_exchange_weak(from_ns, to_ns, kSeqCst)) {
            break;
        }
    }
    unlock_advances(*clock);
    if (reset || to_ns > from_ns) {
        moved(*clock, to_ns, reset);
    }
    auto_advance(*clock);
    return settle_timeout_ns < 0 ? VARNEX_OK : settle(*clock, to_ns, settle_timeout_ns);
}

}  // extern "C"
