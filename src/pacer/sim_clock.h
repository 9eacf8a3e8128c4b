// A clock the host drives: its reading, and a slot for each pacer on it that
// says whether the pacer is busy or back, and for which deadline. The record
// is the same in this process's memory and in a named clock's shared memory,
// and the same for 32- and 64-bit processes: fixed widths, no pointers.
#ifndef VARNEX_PACER_SIM_CLOCK_H
#define VARNEX_PACER_SIM_CLOCK_H

#include <atomic>
#include <cstdint>

#include "platform/clock_memory.h"
#include "platform/timers.h"
#include "varnex/pacer.h"

constexpr uint32_t kSimMaxPacers = 256;
constexpr uint32_t kSimMaxProcesses = 64;
constexpr uint32_t kNoSlot = 0xFFFFFFFF;

enum SimSlotState : uint32_t { kSlotFree = 0, kSlotBusy = 1, kSlotBack = 2 };

struct alignas(8) SimSlot {
    std::atomic<uint32_t> state;
    // The word the pacer's wait blocks on, and whether it does: a waker
    // enters the system only for a sleeper.
    std::atomic<uint32_t> wake;
    std::atomic<uint32_t> sleeping;
    // The process slot that owns the pacer, and the thread that waits on it
    // (0 before its first wait): an advance does not settle on its own
    // thread's pacers.
    std::atomic<uint32_t> process;
    std::atomic<uint32_t> thread;
    // The reset that `due_ns` was chosen after, and whether the pacer's
    // readiness handle is out (a process's watcher arms it).
    std::atomic<uint32_t> resets_seen;
    std::atomic<uint32_t> has_handle;
    uint32_t reserved;
    // Back: the deadline it waits for.
    std::atomic<int64_t> due_ns;
};

struct alignas(8) SimProcess {
    std::atomic<uint32_t> in_use;
    // The watcher of this process's readiness handles blocks on it.
    std::atomic<uint32_t> watch;
};

constexpr uint32_t kSimMagic = 0x4B434C53;  // "SLCK"
constexpr uint32_t kSimLayoutVersion = 1;

struct alignas(8) SimShared {
    uint32_t magic;
    uint32_t layout_version;
    uint32_t bytes;
    uint32_t flags;  // VARNEX_SIM_*
    std::atomic<int64_t> now_ns;
    // Resets: a count, odd while one is written, and the reading of the last.
    std::atomic<uint32_t> resets;
    std::atomic<uint32_t> advancing;  // the advance lock: its holder's process slot + 1
    std::atomic<int64_t> reset_to_ns;
    // Bumped at every change a settle waits for; settlers count themselves.
    std::atomic<uint32_t> settle_word;
    std::atomic<uint32_t> settlers;
    std::atomic<uint32_t> gone;           // the creator's process ended
    std::atomic<uint32_t> creator;        // its process slot
    std::atomic<uint32_t> slots_in_use;   // slots below this may be taken
    uint32_t reserved;
    SimProcess processes[kSimMaxProcesses];
    SimSlot slots[kSimMaxPacers];
};

// The process's view of a clock: its memory, its process slot, and the
// readiness handles of its pacers by slot.
struct varnex_sim_clock {
    platform::ClockMemory* memory = nullptr;
    SimShared* shared = nullptr;
    bool named = false;
    bool creator = false;
    uint32_t process_slot = 0;
    // The host's reference and one per pacer; the last release frees it.
    std::atomic<uint32_t> references{1};
    std::atomic<platform::ReadyTimer*> handles[kSimMaxPacers] = {};
    // The process generation each handle was made or renewed in: a forked
    // child's copy of the clock must not arm the parent's timer, which its
    // pacer holds until its first call renews it.
    std::atomic<uint32_t> handle_generations[kSimMaxPacers] = {};
    // Advances (and the watcher) arming handles now; a destroy waits for
    // them before it closes its pacer's timer.
    std::atomic<uint32_t> arming{0};
    // The process the process slot is this one's in (platform::
    // process_generation()): a forked child's copy of a named clock's view
    // takes a process slot of its own at its first use.
    std::atomic<uint32_t> generation{0};
    std::atomic<uint32_t> renewing{0};
    // A named clock's watcher: a thread of this process, started with the
    // first readiness handle out on the clock, that arms this process's
    // handles as other processes' advances make them due. It blocks on this
    // process's watch word, and looks whether the creator lives 10 times a
    // second; it ends with the view.
    std::atomic<uint32_t> watcher_state{0};
    platform::ClockThread* watcher = nullptr;
};

// A pacer's place on its clock.
struct SimPlace {
    varnex_sim_clock* clock = nullptr;
    uint32_t slot = kNoSlot;
    uint32_t generation = 0;  // the process that took the slot, as the view's
    uint32_t resets_seen = 0;
    int64_t phase_ns = 0;
};

// The clock's reading and the count of the resets it follows, from one
// instant: a pacer that took a reading from before a reset and the count from
// after it would never apply that reset.
int64_t sim_reading(const varnex_sim_clock& clock, uint32_t* resets);
// Registers a pacer (busy, owned by this thread) whose grid follows `resets`;
// false when the clock is full.
bool take_sim_slot(varnex_sim_clock& clock, int64_t first_due_ns, uint32_t resets, SimPlace* place);
void release_sim_slot(SimPlace& place);
// A forked child's copy of a pacer on a named clock: a slot of the child's
// own (the one copied is the parent's), and its handle moved there.
// VARNEX_OK, or VARNEX_E_NO_MEMORY for a clock with no room.
int own_sim_place(SimPlace& place);
void release_clock(varnex_sim_clock* clock);

inline int64_t sim_now(const varnex_sim_clock& clock)
{
    return clock.shared->now_ns.load(std::memory_order_seq_cst);
}

// A reset the pacer has not applied yet: its reading.
bool unseen_reset(const SimPlace& place, uint32_t* resets, int64_t* reset_to_ns);

enum class SimBlock { kReached, kCancelled, kInterrupted, kReset, kGone };
struct SimReached {
    SimBlock end;
    int64_t now_ns;
    int64_t blocked_ns;  // real time spent blocked
};

// The wait's block: back, waiting for `due_ns`, until the clock reaches it,
// a reset, a cancel, a signal the host asked to hear of, or the creator's
// end. Busy again as it returns.
SimReached block_on_clock(SimPlace& place, int64_t due_ns, std::atomic<uint32_t>& cancel_requested,
                          bool return_on_signal);

// A handle host's wait that is not due: back, waiting for `due_ns`; the
// handle is armed as the clock reaches it. True when it is due already.
bool back_on_handle(SimPlace& place, int64_t due_ns);
void mark_busy(SimPlace& place);
// The pacer's readiness handle, armed by the advances that make it due; set
// again once a forked child renewed it.
void set_sim_handle(SimPlace& place, platform::ReadyTimer* timer);
// The creator ended (or, in its own process, released the clock).
bool sim_clock_gone(const varnex_sim_clock& clock);
// A cancel wakes the pacer's blocked wait.
void wake_sim_waiter(SimPlace& place);

#endif
