// A simulator in lockstep with its controller. The pendulum's physics steps at 1 kHz on a
// simulated clock; a 250 Hz controller on a thread of its own holds it upright, and a 50 Hz
// logger records its angle. Each step advances the clock by 1 ms and settles: the world steps on
// only once every pacer that the step made due has acted and is back in its wait. The trace is
// the same every run. With --real, the same controller runs on the counter, for 2 s.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <thread>
#include <vector>
#include <varnex/pacer.h>

namespace {

constexpr int64_t kStepNs = 1000000;
constexpr int64_t kSettleTimeoutNs = 10000000000;  // real time: a controller that hangs is an error

struct Pendulum {  // written by the simulator, read by the controller and the logger
    std::atomic<double> angle_rad{0.2};  // from upright
    std::atomic<double> velocity_rad_s{0.0};
    std::atomic<double> push_rad_s2{0.0};  // the controller's output
};

// The controller: a PD law on the angle, the same on either clock.
double control(double angle_rad, double velocity_rad_s)
{
    return -60.0 * angle_rad - 10.0 * velocity_rad_s;
}

// One step of a 0.5 m pendulum, with a knock every 10 s.
void step(Pendulum& pendulum, int64_t index)
{
    const double dt_s = kStepNs * 1e-9;
    const double acceleration = std::sin(pendulum.angle_rad) * 9.81 / 0.5 + pendulum.push_rad_s2;
    double velocity = pendulum.velocity_rad_s + acceleration * dt_s;
    if (index % 10000 == 5000) velocity += 1.0;
    pendulum.velocity_rad_s = velocity;
    pendulum.angle_rad = pendulum.angle_rad + velocity * dt_s;
}

// A thread that acts at each tick of a pacer of `rate` ticks a second, on the clock (on the
// counter without one), until the pacer is cancelled. It makes its pacer before the simulator's
// first step: every settle counts it from then on.
std::thread start_pacing(varnex_sim_clock* clock, uint32_t rate, varnex_pacer** pacer, std::function<void()> act)
{
    std::promise<int> made;
    std::future<int> status = made.get_future();
    std::thread thread([=, made = std::move(made)]() mutable {
        varnex_pacer_config config;
        varnex_pacer_config_init(&config);
        config.mode = VARNEX_MODE_SLEEP;  // no mode spins on a simulated clock
        config.rate_num = rate;
        config.rate_den = 1;
        made.set_value(clock != nullptr ? varnex_pacer_create_on(&config, clock, pacer)
                                        : varnex_pacer_create(&config, pacer));
        varnex_tick tick{};
        tick.size = sizeof tick;
        while (*pacer != nullptr && varnex_pacer_wait(*pacer, &tick) == VARNEX_OK) act();
    });
    if (status.get() != VARNEX_OK) std::fprintf(stderr, "no pacer at %u ticks a second\n", (unsigned)rate);
    return thread;
}

}  // namespace

int main(int argc, char** argv)
{
    const bool real = argc > 1 && std::strcmp(argv[1], "--real") == 0;
    const int64_t steps = real ? 2000 : 60000;
    varnex_sim_clock_config clock_config{};  // reads 0 until this thread advances it
    clock_config.size = sizeof clock_config;
    varnex_sim_clock* clock = nullptr;
    varnex_pacer_config config;              // --real: the simulator's own 1 kHz on the counter
    varnex_pacer_config_init(&config);
    config.mode = VARNEX_MODE_HYBRID;
    config.rate_num = 1000;
    config.rate_den = 1;
    varnex_pacer* simulator = nullptr;
    if ((real ? varnex_pacer_create(&config, &simulator) : varnex_sim_clock_create(&clock_config, &clock)) != VARNEX_OK)
        return 1;

    Pendulum pendulum;
    std::vector<double> trace;
    varnex_pacer* controller = nullptr;
    varnex_pacer* logger = nullptr;
    std::thread control_thread = start_pacing(clock, 250, &controller, [&] {
        pendulum.push_rad_s2 = control(pendulum.angle_rad, pendulum.velocity_rad_s);
    });
    std::thread log_thread = start_pacing(clock, 50, &logger, [&] { trace.push_back(pendulum.angle_rad); });

    int status = controller != nullptr && logger != nullptr ? VARNEX_OK : VARNEX_E_INVALID_ARGUMENT;
    varnex_tick tick{};
    tick.size = sizeof tick;
    for (int64_t index = 0; index < steps && status == VARNEX_OK; ++index) {
        step(pendulum, index);
        // The clock moves on 1 ms, and the advance returns once the pacers it made due are back.
        status = real ? varnex_pacer_wait(simulator, &tick)
                      : varnex_sim_clock_advance(clock, (index + 1) * kStepNs, kSettleTimeoutNs);
        if (status != VARNEX_OK) std::fprintf(stderr, "step %lld: %s\n", (long long)index, varnex_strerror(status));
    }
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    varnex_pacer_get_stats(controller, &stats);
    for (varnex_pacer* pacer : {controller, logger}) varnex_pacer_cancel(pacer);
    control_thread.join();
    log_thread.join();
    for (varnex_pacer* pacer : {controller, logger, simulator}) varnex_pacer_destroy(pacer);
    varnex_sim_clock_destroy(clock);
    if (status != VARNEX_OK) return 1;

    uint64_t hash = 14695981039346656037u;  // FNV-1a over the bits of the logged angles
    double largest_rad = 0.0;                // of the second half
    for (size_t index = 0; index < trace.size(); ++index) {
        unsigned char bytes[sizeof(double)];
        std::memcpy(bytes, &trace[index], sizeof bytes);
        for (const unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211u;
        if (index >= trace.size() / 2) largest_rad = std::fmax(largest_rad, std::fabs(trace[index]));
    }
    std::printf("%s: %lld steps, %llu control ticks (%llu missed), %zu angles logged, within %.3f rad of upright",
                real ? "real time" : "lockstep", (long long)steps, (unsigned long long)stats.ticks,
                (unsigned long long)stats.missed, trace.size(), largest_rad);
    if (!real) std::printf("; trace hash %016llx", (unsigned long long)hash);
    std::printf("\n");
    return 0;
}
