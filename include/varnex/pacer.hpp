/**
 * \file pacer.hpp
 * \brief A header-only C++ wrapper over the pacer's C interface: it owns the pacer and turns a
 * failed create into an exception on the host's side of the boundary. It adds no behaviour.
 */
#ifndef VARNEX_PACER_HPP
#define VARNEX_PACER_HPP

#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "varnex/pacer.h"

/** \brief The C++ wrapper of the pacer. \since 1.1 */
namespace varnex {

/** \brief A failed call, with its #varnex_status. \since 1.1 */
class Error : public std::runtime_error {
public:
    /** \brief An error of this status, whose text is varnex_strerror()'s. \param status A #varnex_status. */
    explicit Error(int status) : std::runtime_error(varnex_strerror(status)), status_(status) {}
    /** \returns The #varnex_status. */
    int status() const noexcept { return status_; }

private:
    int status_;
};

/** \brief Where the grid is. \since 1.5 */
enum class Align : uint32_t {
    kCounter = 0,                                                  /**< On the counter, from the creation. */
    kSystemClock = VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK,             /**< On the system clock from 1970, UTC. */
    kTai = VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK | VARNEX_PACER_TAI,  /**< Linux: on CLOCK_TAI. */
    kReference = VARNEX_PACER_FOLLOW_REFERENCE,                    /**< On a reference the host observes (since 1.7). */
};

/**
 * \brief The library's clock, in nanoseconds.
 * \returns varnex_clock_ns().
 * \since 1.7
 */
inline int64_t clock_ns() noexcept
{
    return varnex_clock_ns();
}

/**
 * \brief Owns the host's reference to a simulated clock: creates or opens it, or throws Error, and
 * releases it. A pacer on the clock holds a reference of its own, so the clock lives on until the
 * last of them is destroyed (varnex_sim_clock_destroy()).
 * \since 1.8
 */
class SimClock {
public:
    /**
     * \brief Makes a clock that reads start_ns until the host advances it.
     * \param start_ns The first reading: 0 to 2^62.
     * \param auto_advance #VARNEX_SIM_AUTO_ADVANCE: whenever no pacer on it is pending, the clock
     *        moves to the earliest deadline its pacers wait for.
     * \param name Empty for a clock of this process only; else the name that other processes of
     *        this user open it by.
     * \throws Error as varnex_sim_clock_create() fails; #VARNEX_E_INVALID_ARGUMENT for a name of
     *         64 characters or more.
     */
    explicit SimClock(int64_t start_ns = 0, bool auto_advance = false, std::string_view name = {})
    {
        varnex_sim_clock_config config{};
        config.size = sizeof config;
        config.flags = auto_advance ? VARNEX_SIM_AUTO_ADVANCE : 0u;
        config.start_ns = start_ns;
        // A name cut to fit would name another clock.
        if (name.size() >= sizeof config.name) {
            throw Error(VARNEX_E_INVALID_ARGUMENT);
        }
        std::memcpy(config.name, name.data(), name.size());
        if (const int status = varnex_sim_clock_create(&config, &clock_); status != VARNEX_OK) {
            throw Error(status);
        }
    }
    /**
     * \brief Opens the named clock that another process of this user created.
     * \param name Its name.
     * \returns The clock, this process's view of it.
     * \throws Error as varnex_sim_clock_open() fails (#VARNEX_E_NOT_FOUND, #VARNEX_E_CLOCK_GONE, ...).
     */
    static SimClock open(const char* name)
    {
        SimClock opened(Unopened{});
        if (const int status = varnex_sim_clock_open(name, &opened.clock_); status != VARNEX_OK) {
            throw Error(status);
        }
        return opened;
    }
    SimClock(const SimClock&) = delete;
    SimClock& operator=(const SimClock&) = delete;
    /** \brief Takes the other's clock; the other is left with none. \param other The clock to move from. */
    SimClock(SimClock&& other) noexcept : clock_(std::exchange(other.clock_, nullptr)) {}
    /** \brief Swaps the two clocks. \param other The clock to swap with. \returns `*this`. */
    SimClock& operator=(SimClock&& other) noexcept
    {
        std::swap(clock_, other.clock_);
        return *this;
    }
    /** \brief Releases the host's reference: not while another thread advances the clock. */
    ~SimClock() { varnex_sim_clock_destroy(clock_); }

    /**
     * \returns The clock's reading, in its nanoseconds.
     * \throws Error as varnex_sim_clock_now() fails: #VARNEX_E_CLOCK_GONE for an opened clock
     *         whose creator ended.
     */
    int64_t now_ns() const
    {
        int64_t now_ns = 0;
        if (const int status = varnex_sim_clock_now(clock_, &now_ns); status != VARNEX_OK) {
            throw Error(status);
        }
        return now_ns;
    }
    /**
     * \brief varnex_sim_clock_advance(): moves the clock to to_ns, and with a settle waits until
     * every pacer the advance made due is back.
     * \param to_ns The new reading: 0 to 2^62; earlier than now is a reset.
     * \param settle_timeout_ns Real nanoseconds to wait for the pacers, 0 or more; -1 (the
     *        default) for not at all.
     * \throws Error as varnex_sim_clock_advance() fails; #VARNEX_E_TIMEOUT when the settle did not
     *         complete in time: the clock reads to_ns, and a later advance settles the rest.
     */
    void advance_ns(int64_t to_ns, int64_t settle_timeout_ns = -1)
    {
        if (const int status = varnex_sim_clock_advance(clock_, to_ns, settle_timeout_ns); status != VARNEX_OK) {
            throw Error(status);
        }
    }
    /** \returns The C clock, for the calls this class does not wrap. */
    varnex_sim_clock* get() const noexcept { return clock_; }

private:
    struct Unopened {};
    explicit SimClock(Unopened) noexcept {}
    varnex_sim_clock* clock_ = nullptr;
};

/** \brief Owns a pacer: creates it, or throws Error, and destroys it. \since 1.1 */
class Pacer {
public:
    /**
     * \brief Creates a pacer of rate_num / rate_den ticks per second, exactly.
     * \param rate_num The rate's numerator.
     * \param rate_den The rate's denominator.
     * \param mode How it waits.
     * \param missed What a wait does for a host that comes back late.
     * \param align Where the grid is (since 1.5).
     * \throws Error as varnex_pacer_create() fails.
     */
    Pacer(uint32_t rate_num, uint32_t rate_den, varnex_mode mode = VARNEX_MODE_SPIN,
          varnex_missed missed = VARNEX_MISSED_SKIP, Align align = Align::kCounter)
    {
        varnex_pacer_config config;
        varnex_pacer_config_init(&config);
        config.rate_num = rate_num;
        config.rate_den = rate_den;
        config.mode = mode;
        config.missed = missed;
        config.flags = static_cast<uint32_t>(align);
        create(config);
    }
    /** \brief Creates a pacer of this configuration. \param config As for varnex_pacer_create(). \throws Error */
    explicit Pacer(const varnex_pacer_config& config) { create(config); }
    /**
     * \brief Creates a pacer of rate_num / rate_den ticks per second on a simulated clock: tick k
     * is due at the clock's reading now, plus one period, plus k periods.
     * \param rate_num The rate's numerator.
     * \param rate_den The rate's denominator.
     * \param clock The clock, which the pacer holds until it is destroyed.
     * \param missed What a wait does for a host that comes back late.
     * \throws Error as varnex_pacer_create_on() fails.
     * \since 1.8
     */
    Pacer(uint32_t rate_num, uint32_t rate_den, const SimClock& clock, varnex_missed missed = VARNEX_MISSED_SKIP)
    {
        varnex_pacer_config config;
        varnex_pacer_config_init(&config);
        config.rate_num = rate_num;
        config.rate_den = rate_den;
        config.missed = missed;
        create_on(config, clock);
    }
    /**
     * \brief Creates a pacer of this configuration on a simulated clock.
     * \param config As for varnex_pacer_create_on().
     * \param clock The clock, which the pacer holds until it is destroyed.
     * \throws Error
     * \since 1.8
     */
    Pacer(const varnex_pacer_config& config, const SimClock& clock) { create_on(config, clock); }
    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;
    /** \brief Takes the other's pacer; the other is left with none. \param other The pacer to move from. */
    Pacer(Pacer&& other) noexcept : pacer_(std::exchange(other.pacer_, nullptr)) {}
    /** \brief Swaps the two pacers. \param other The pacer to swap with. \returns `*this`. */
    Pacer& operator=(Pacer&& other) noexcept
    {
        std::swap(pacer_, other.pacer_);
        return *this;
    }
    /** \brief Destroys the pacer: not while another thread waits on it. */
    ~Pacer() { varnex_pacer_destroy(pacer_); }

    /**
     * \brief varnex_pacer_wait(), with the tick's size set.
     * \param tick Receives the tick.
     * \returns What varnex_pacer_wait() returns: #VARNEX_OK; #VARNEX_E_CANCELLED after cancel();
     *          #VARNEX_E_INTERRUPTED on a signal with #VARNEX_PACER_RETURN_ON_SIGNAL;
     *          #VARNEX_E_NOT_DUE with the readiness handle out; #VARNEX_E_NO_COUNTER;
     *          #VARNEX_E_INVALID_ARGUMENT on a moved-from wrapper.
     */
    int wait(varnex_tick& tick) noexcept
    {
        tick.size = sizeof tick;
        return varnex_pacer_wait(pacer_, &tick);
    }
    /** \brief varnex_pacer_cancel(): from any thread. */
    void cancel() noexcept { varnex_pacer_cancel(pacer_); }
    /** \returns The statistics, from varnex_pacer_get_stats(): from any thread. */
    varnex_pacer_stats stats() const noexcept
    {
        varnex_pacer_stats stats{};
        stats.size = sizeof stats;
        varnex_pacer_get_stats(pacer_, &stats);
        return stats;
    }
    /**
     * \brief varnex_pacer_wait_handle().
     * \returns The readiness handle (a descriptor on Linux, a HANDLE on Windows), which the
     *          pacer owns.
     * \throws Error in spin mode.
     * \since 1.4
     */
    intptr_t wait_handle()
    {
        intptr_t handle = 0;
        if (const int status = varnex_pacer_wait_handle(pacer_, &handle); status != VARNEX_OK) {
            throw Error(status);
        }
        return handle;
    }
    /**
     * \brief varnex_pacer_set_lateness_budget(): the p99 lateness the host accepts.
     * \param p99_ns The budget in nanoseconds; 0 for none.
     * \throws Error for a pacer that is not a hybrid learning its margin.
     * \since 1.6
     */
    void set_lateness_budget(int64_t p99_ns)
    {
        if (const int status = varnex_pacer_set_lateness_budget(pacer_, p99_ns); status != VARNEX_OK) {
            throw Error(status);
        }
    }
    /**
     * \brief For a pacer that follows a reference: the reference read reference_ns when
     * varnex_clock_ns() read local_ns (-1: now). Never blocks; one thread observes at a time,
     * beside the one that waits.
     * \param reference_ns The reference's reading, in ns from its own 0.
     * \param local_ns The library's clock at that reading, or -1 for now.
     * \throws Error as varnex_pacer_observe() fails.
     * \since 1.7
     */
    void observe(int64_t reference_ns, int64_t local_ns = -1)
    {
        if (const int status = varnex_pacer_observe(pacer_, reference_ns, local_ns); status != VARNEX_OK) {
            throw Error(status);
        }
    }
    /**
     * \brief How a following pacer steers its grid; between waits.
     * \param options The options; a field left 0 takes its default.
     * \throws Error as varnex_pacer_set_reference_options() fails.
     * \since 1.7
     */
    void set_reference_options(varnex_reference_options options)
    {
        options.size = sizeof options;
        if (const int status = varnex_pacer_set_reference_options(pacer_, &options); status != VARNEX_OK) {
            throw Error(status);
        }
    }
    /** \returns The C pacer, for the calls this class does not wrap. */
    varnex_pacer* get() const noexcept { return pacer_; }

private:
    void create(const varnex_pacer_config& config)
    {
        if (const int status = varnex_pacer_create(&config, &pacer_); status != VARNEX_OK) {
            throw Error(status);
        }
    }
    void create_on(const varnex_pacer_config& config, const SimClock& clock)
    {
        if (const int status = varnex_pacer_create_on(&config, clock.get(), &pacer_); status != VARNEX_OK) {
            throw Error(status);
        }
    }
    varnex_pacer* pacer_ = nullptr;
};

}  // namespace varnex

#endif
