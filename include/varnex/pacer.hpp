// A header-only C++ wrapper over the pacer's C interface: it owns the pacer
// and turns a failed create into an exception on the host's side of the
// boundary. It adds no behaviour.
#ifndef VARNEX_PACER_HPP
#define VARNEX_PACER_HPP

#include <stdexcept>
#include <utility>

#include "varnex/pacer.h"

namespace varnex {

class Error : public std::runtime_error {
public:
    explicit Error(int status) : std::runtime_error(varnex_strerror(status)), status_(status) {}
    int status() const noexcept { return status_; }

private:
    int status_;
};

// Where the grid is: on the counter from the creation, or on the system
// clock from 1970 (VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK), UTC or, on Linux, TAI.
enum class Align : uint32_t {
    kCounter = 0,
    kSystemClock = VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK,
    kTai = VARNEX_PACER_ALIGN_TO_SYSTEM_CLOCK | VARNEX_PACER_TAI,
};

class Pacer {
public:
    // Ticks per second rate_num / rate_den, exactly.
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
    explicit Pacer(const varnex_pacer_config& config) { create(config); }
    Pacer(const Pacer&) = delete;
    Pacer& operator=(const Pacer&) = delete;
    Pacer(Pacer&& other) noexcept : pacer_(std::exchange(other.pacer_, nullptr)) {}
    Pacer& operator=(Pacer&& other) noexcept
    {
        std::swap(pacer_, other.pacer_);
        return *this;
    }
    ~Pacer() { varnex_pacer_destroy(pacer_); }

    // VARNEX_OK, or VARNEX_E_CANCELLED after cancel(); with the readiness
    // handle out, also VARNEX_E_NOT_DUE.
    int wait(varnex_tick& tick) noexcept
    {
        tick.size = sizeof tick;
        return varnex_pacer_wait(pacer_, &tick);
    }
    void cancel() noexcept { varnex_pacer_cancel(pacer_); }
    varnex_pacer_stats stats() const noexcept
    {
        varnex_pacer_stats stats{};
        stats.size = sizeof stats;
        varnex_pacer_get_stats(pacer_, &stats);
        return stats;
    }
    // The readiness handle (a descriptor on Linux, a HANDLE on Windows),
    // which the pacer owns; throws Error in spin mode.
    intptr_t wait_handle()
    {
        intptr_t handle = 0;
        if (const int status = varnex_pacer_wait_handle(pacer_, &handle); status != VARNEX_OK) {
            throw Error(status);
        }
        return handle;
    }
    // The p99 lateness the host accepts, for a hybrid that learns its margin;
    // throws Error in the other modes.
    void set_lateness_budget(int64_t p99_ns)
    {
        if (const int status = varnex_pacer_set_lateness_budget(pacer_, p99_ns); status != VARNEX_OK) {
            throw Error(status);
        }
    }
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
