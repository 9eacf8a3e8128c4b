/**
 * \file pacer.hpp
 * \brief A header-only C++ wrapper over the pacer's C interface: it owns the pacer and turns a
 * failed create into an exception on the host's side of the boundary. It adds no behaviour.
 */
#ifndef VARNEX_PACER_HPP
#define VARNEX_PACER_HPP

#include <stdexcept>
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
    varnex_pacer* pacer_ = nullptr;
};

}  // namespace varnex

#endif
