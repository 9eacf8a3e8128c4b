// The pacer on the fake platform: the grid's exact arithmetic, the
// missed-tick policies, cancel, validation and the statistics.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fake_platform.h"
#include "fake_platform_test.h"
#include "pacer/histogram.h"
#include "pacer/margin.h"
#include "pacer/rate.h"
#include "pacer/wide_math.h"
#include "varnex/pacer.h"

namespace {

// Decimal digits, most significant first: an arithmetic of its own to check
// the library's 128-bit one against.
std::string decimal(uint64_t value)
{
    return std::to_string(value);
}

std::string times(const std::string& left, uint64_t right)
{
    std::vector<unsigned> digits(left.size() + 20, 0);
    const std::string right_digits = decimal(right);
    for (size_t i = 0; i < left.size(); ++i) {
        for (size_t j = 0; j < right_digits.size(); ++j) {
            digits[(left.size() - 1 - i) + (right_digits.size() - 1 - j)] +=
                static_cast<unsigned>(left[i] - '0') * static_cast<unsigned>(right_digits[j] - '0');
        }
    }
    for (size_t index = 0; index + 1 < digits.size(); ++index) {
        digits[index + 1] += digits[index] / 10;
        digits[index] %= 10;
    }
    std::string product;
    for (auto digit = digits.rbegin(); digit != digits.rend(); ++digit) {
        if (!product.empty() || *digit != 0) {
            product += static_cast<char>('0' + *digit);
        }
    }
    return product.empty() ? "0" : product;
}

std::string floor_divided(const std::string& dividend, uint64_t divisor)
{
    std::string quotient;
    uint64_t remainder = 0;
    for (const char digit : dividend) {
        remainder = remainder * 10 + static_cast<uint64_t>(digit - '0');
        quotient += static_cast<char>('0' + remainder / divisor);
        remainder %= divisor;
    }
    const size_t first = quotient.find_first_not_of('0');
    return first == std::string::npos ? "0" : quotient.substr(first);
}

std::string plus(const std::string& left, const std::string& right)
{
    std::string sum;
    int carry = 0;
    for (size_t i = 0; i < std::max(left.size(), right.size()) || carry != 0; ++i) {
        const int digit = (i < left.size() ? left[left.size() - 1 - i] - '0' : 0) +
                          (i < right.size() ? right[right.size() - 1 - i] - '0' : 0) + carry;
        sum.insert(sum.begin(), static_cast<char>('0' + digit % 10));
        carry = digit / 10;
    }
    const size_t first = sum.find_first_not_of('0');
    return first == std::string::npos ? "0" : sum.substr(first);
}

std::string decimal(const U128& value)
{
    return plus(times(times(decimal(value.high), 4294967296u), 4294967296u), decimal(value.low));
}

TEST(PacerGrid, EveryDeadlineIsTheExactRationalValue)
{
    struct Rate {
        uint32_t num;
        uint32_t den;
    };
    const Rate rates[] = {{1000, 1}, {30000, 1001}, {7, 1}};
    const uint64_t frequencies[] = {10000000, 1000000000};
    std::vector<uint64_t> ks = {0, 1, 2, 6, 7, 8, 999, 1000, 1001, 30000, 1000000, 1000000007};
    for (uint64_t k = 1000000000000 - 3; k <= 1000000000000 + 3; ++k) {
        ks.push_back(k);
    }
    uint64_t state = 12345;
    for (int sample = 0; sample < 200; ++sample) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        ks.push_back(state % 1000000000001);
    }
    for (const Rate& rate : rates) {
        for (const uint64_t frequency : frequencies) {
            const uint64_t counts_per_den = frequency * rate.den;
            for (const uint64_t k : ks) {
                SCOPED_TRACE(std::to_string(rate.num) + "/" + std::to_string(rate.den) + " at " +
                             std::to_string(frequency) + " Hz, tick " + std::to_string(k));
                const std::string exact = floor_divided(times(times(decimal(k), frequency), rate.den), rate.num);
                ASSERT_EQ(decimal(tick_offset_counts(k, counts_per_den, rate.num)), exact);
            }
        }
    }
}

TEST(PacerGrid, ADoubleRateBecomesItsFraction)
{
    uint32_t num = 0;
    uint32_t den = 0;
    ASSERT_TRUE(rate_from_double(29.97, &num, &den));
    EXPECT_EQ(num, 2997u);
    EXPECT_EQ(den, 100u);
    ASSERT_TRUE(rate_from_double(30000.0 / 1001.0, &num, &den));
    EXPECT_EQ(num, 30000u);
    EXPECT_EQ(den, 1001u);
    ASSERT_TRUE(rate_from_double(0.5, &num, &den));
    EXPECT_EQ(num, 1u);
    EXPECT_EQ(den, 2u);
}

class PacerTest : public FakePlatformTest {
protected:
    // Frequency 1000, 10 ticks per second: 100 counts a period. The counter
    // reads 0 at the creation, so tick k is due at 100 + 100k.
    static constexpr int64_t kPeriodCounts = 100;

    static varnex_pacer_config ten_per_second(uint32_t mode)
    {
        varnex_pacer_config config;
        varnex_pacer_config_init(&config);
        config.rate_num = 10;
        config.rate_den = 1;
        config.mode = mode;
        return config;
    }

    varnex_pacer* create(uint32_t missed, uint32_t mode = VARNEX_MODE_SPIN, int64_t phase_ns = -1)
    {
        varnex_pacer_config config = ten_per_second(mode);
        config.missed = missed;
        config.phase_ns = phase_ns;
        varnex_pacer* pacer = nullptr;
        EXPECT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
        return pacer;
    }

    static int64_t due(uint64_t k) { return kPeriodCounts + kPeriodCounts * static_cast<int64_t>(k); }

    varnex_tick wait(varnex_pacer* pacer)
    {
        varnex_tick tick{};
        tick.size = sizeof tick;
        EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
        return tick;
    }

    // Puts the host `periods` and a half periods past tick k's deadline.
    static void come_back_late(uint64_t k, int periods)
    {
        fake::set_counter(due(k) + periods * kPeriodCounts + kPeriodCounts / 2, 1);
    }
};

struct Return {
    uint64_t index;
    uint64_t missed;
    bool at_once;
};

TEST_F(PacerTest, EachPolicyGivesItsReturnsAndMissedCounts)
{
    struct Case {
        uint32_t policy;
        int periods_late;
        std::vector<Return> returns;
    };
    const Case cases[] = {
        {VARNEX_MISSED_SKIP, 0, {{1, 0, true}, {2, 0, false}}},
        {VARNEX_MISSED_SKIP, 1, {{3, 2, false}, {4, 0, false}}},
        {VARNEX_MISSED_SKIP, 5, {{7, 6, false}, {8, 0, false}}},
        {VARNEX_MISSED_BURST, 0, {{1, 0, true}, {2, 0, false}}},
        {VARNEX_MISSED_BURST, 1, {{1, 0, true}, {2, 0, true}, {3, 0, false}}},
        // Past the cap of 4: four at once, then the rest skipped.
        {VARNEX_MISSED_BURST, 5, {{1, 0, true}, {2, 0, true}, {3, 0, true}, {4, 0, true}, {7, 2, false}}},
        {VARNEX_MISSED_DELAY, 0, {{1, 0, true}, {2, 0, false}}},
        {VARNEX_MISSED_DELAY, 1, {{1, 1, true}, {2, 0, false}}},
        {VARNEX_MISSED_DELAY, 5, {{1, 5, true}, {2, 0, false}}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE("policy " + std::to_string(test.policy) + ", " + std::to_string(test.periods_late) +
                     " periods late");
        fake::reset();
        fake::set_frequency(kFrequency);
        varnex_pacer* pacer = create(test.policy);
        ASSERT_NE(pacer, nullptr);
        const varnex_tick first = wait(pacer);
        EXPECT_EQ(first.index, 0u);
        EXPECT_EQ(first.lateness_ns, 0);
        come_back_late(1, test.periods_late);
        for (const Return& expected : test.returns) {
            const uint64_t called_at = fake::reads();
            const varnex_tick tick = wait(pacer);
            EXPECT_EQ(tick.index, expected.index);
            EXPECT_EQ(tick.missed, expected.missed);
            EXPECT_EQ(fake::reads() - called_at == 1, expected.at_once) << "tick " << tick.index;
        }
        varnex_pacer_stats stats{};
        stats.size = sizeof stats;
        ASSERT_EQ(varnex_pacer_get_stats(pacer, &stats), VARNEX_OK);
        uint64_t missed = 0;
        for (const Return& expected : test.returns) {
            missed += expected.missed;
        }
        EXPECT_EQ(stats.missed, missed);
        EXPECT_EQ(stats.ticks, test.returns.size() + 1);
        varnex_pacer_destroy(pacer);
    }
}

TEST_F(PacerTest, DelayMovesTheGridToTheLateReturn)
{
    varnex_pacer* pacer = create(VARNEX_MISSED_DELAY);
    wait(pacer);
    come_back_late(1, 2);
    const varnex_tick late = wait(pacer);
    EXPECT_EQ(late.lateness_ns, (2 * kPeriodCounts + kPeriodCounts / 2) * 1000000);
    const varnex_tick next = wait(pacer);
    EXPECT_EQ(next.lateness_ns, 0);
    EXPECT_EQ(next.interval_ns, kPeriodCounts * 1000000) << "one period after the late return";
    varnex_pacer_destroy(pacer);
}

TEST_F(PacerTest, APhaseSetsTheFirstDeadlineAndTheGridFollowsIt)
{
    varnex_pacer* pacer = create(VARNEX_MISSED_SKIP, VARNEX_MODE_SPIN, 250000000);
    ASSERT_NE(pacer, nullptr);
    const varnex_tick first = wait(pacer);
    EXPECT_EQ(first.index, 0u);
    EXPECT_EQ(first.interval_ns, 250000000) << "tick 0 at the phase, 250 counts after the creation";
    EXPECT_EQ(wait(pacer).interval_ns, kPeriodCounts * 1000000);
    varnex_pacer_destroy(pacer);
}

TEST_F(PacerTest, CancelEndsASpinOrASleepAndKeepsTheTick)
{
    for (const uint32_t mode : {VARNEX_MODE_SPIN, VARNEX_MODE_SLEEP}) {
        SCOPED_TRACE(mode);
        fake::reset();
        fake::set_frequency(kFrequency);
        varnex_pacer* pacer = create(VARNEX_MISSED_SKIP, mode);
        ASSERT_NE(pacer, nullptr);
        // Held inside the wait, before the deadline: the cancel comes now.
        fake::pause_at_read(fake::reads() + 3);
        int result = VARNEX_OK;
        std::thread waiter([&] {
            varnex_tick tick{};
            tick.size = sizeof tick;
            result = varnex_pacer_wait(pacer, &tick);
        });
        fake::wait_until_paused();
        EXPECT_EQ(varnex_pacer_cancel(pacer), VARNEX_OK);
        fake::resume();
        waiter.join();
        EXPECT_EQ(result, VARNEX_E_CANCELLED);
        EXPECT_EQ(wait(pacer).index, 0u) << "the cancelled wait did not take the tick";
        // With no wait in progress, the next one is cancelled.
        varnex_pacer_cancel(pacer);
        EXPECT_EQ(varnex_pacer_wait(pacer, nullptr), VARNEX_E_CANCELLED);
        EXPECT_EQ(wait(pacer).index, 1u);
        varnex_pacer_destroy(pacer);
    }
}

// A wait that takes no tick (cancelled, interrupted, or refused its sleep by
// the system) leaves the host's tick exactly as it was; a refused sleep ends
// the wait rather than spin in its place.
TEST_F(PacerTest, AWaitThatTakesNoTickLeavesTheTickAsItWas)
{
    varnex_pacer_config config = ten_per_second(VARNEX_MODE_SLEEP);
    config.flags = VARNEX_PACER_RETURN_ON_SIGNAL;
    varnex_pacer* pacer = nullptr;
    ASSERT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
    varnex_tick tick = wait(pacer);
    come_back_late(0, 2);
    const varnex_tick before = tick;
    fake::interrupt_next_sleep();
    EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_E_INTERRUPTED);
    EXPECT_EQ(std::memcmp(&tick, &before, sizeof tick), 0);
    fake::fail_next_sleep();
    const size_t sleeps = fake::calls_named("sleep_until").size();
    EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_E_NO_COUNTER);
    EXPECT_EQ(fake::calls_named("sleep_until").size(), sleeps + 1) << "a refused sleep is not retried";
    EXPECT_EQ(std::memcmp(&tick, &before, sizeof tick), 0);
    varnex_pacer_cancel(pacer);
    EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_E_CANCELLED);
    EXPECT_EQ(std::memcmp(&tick, &before, sizeof tick), 0);
    EXPECT_EQ(wait(pacer).index, 3u);
    varnex_pacer_destroy(pacer);
}

// The readiness handle is armed for the wake-up of the tick the next wait
// will return, after every status; a wait before it is not due.
TEST_F(PacerTest, TheReadinessHandleIsArmedForTheNextWakeUpAfterEveryReturn)
{
    auto last_arm = [] { return fake::calls_named("arm_ready_timer").back().value; };
    auto arms = [] { return fake::calls_named("arm_ready_timer").size(); };
    varnex_pacer* pacer = create(VARNEX_MISSED_SKIP, VARNEX_MODE_SLEEP);
    intptr_t handle = 0;
    ASSERT_EQ(varnex_pacer_wait_handle(pacer, &handle), VARNEX_OK);
    EXPECT_EQ(last_arm(), due(0));
    intptr_t again = 0;
    ASSERT_EQ(varnex_pacer_wait_handle(pacer, &again), VARNEX_OK);
    EXPECT_EQ(again, handle);
    EXPECT_EQ(arms(), 1u) << "the second call neither creates nor arms";

    varnex_tick tick{};
    tick.size = sizeof tick;
    EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_E_NOT_DUE) << "called before the wake-up";
    EXPECT_EQ(last_arm(), due(0));
    fake::set_counter(due(0) + 7, 1);
    ASSERT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
    EXPECT_EQ(tick.index, 0u);
    EXPECT_EQ(tick.lateness_ns, 7000000);
    EXPECT_EQ(last_arm(), due(1));
    EXPECT_TRUE(fake::calls_named("sleep_until").empty()) << "a wait on the handle never sleeps";

    // A cancel makes the handle ready at once; the cancelled wait arms it
    // again for the tick it did not take.
    fake::set_counter(due(0) + 20, 1);
    varnex_pacer_cancel(pacer);
    EXPECT_EQ(last_arm(), due(0) + 20);
    EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_E_CANCELLED);
    EXPECT_EQ(last_arm(), due(1));
    // Back so late that skipping chooses tick 4, whose deadline is ahead.
    fake::set_counter(due(3) + 50, 1);
    EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_E_NOT_DUE);
    EXPECT_EQ(last_arm(), due(4));
    EXPECT_EQ(tick.index, 0u) << "no tick was taken";
    // Its wake-up comes: the tick chosen is taken, not passed over in turn.
    fake::set_counter(due(4) + 3, 1);
    ASSERT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
    EXPECT_EQ(tick.index, 4u);
    EXPECT_EQ(tick.missed, 3u);
    EXPECT_EQ(last_arm(), due(5));
    // Real time holds for a sleep, and a wait on the handle has none.
    const varnex_pacer_controls realtime{sizeof realtime, VARNEX_CONTROL_REALTIME, 0, 20, 0};
    ASSERT_EQ(varnex_pacer_set_controls(pacer, &realtime), VARNEX_OK);
    fake::set_counter(due(5) + 1, 1);
    ASSERT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
    EXPECT_EQ(tick.missed, 0u);
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    ASSERT_EQ(varnex_pacer_get_stats(pacer, &stats), VARNEX_OK);
    EXPECT_EQ(stats.controls_unsupported, VARNEX_CONTROL_REALTIME);
    varnex_pacer_destroy(pacer);
    EXPECT_EQ(fake::calls_named("close_ready_timer").size(), 1u);

    varnex_pacer* spinner = create(VARNEX_MISSED_SKIP, VARNEX_MODE_SPIN);
    EXPECT_EQ(varnex_pacer_wait_handle(spinner, &handle), VARNEX_E_INVALID_MODE);
    EXPECT_EQ(varnex_pacer_wait_handle(spinner, nullptr), VARNEX_E_INVALID_ARGUMENT);
    varnex_pacer_destroy(spinner);
}

// In hybrid mode the wake-up is the margin before the deadline: a fixed
// one, or one learned from the loop's latency, at most half the period.
TEST_F(PacerTest, AHybridHandleWakesTheMarginEarlyAndLearnsTheLoopsLatency)
{
    auto armed_margin = [](uint64_t k) { return due(k) - fake::calls_named("arm_ready_timer").back().value; };
    for (const uint32_t fixed_ms : {30u, 80u}) {
        SCOPED_TRACE(fixed_ms);
        fake::set_counter(0, 1);
        varnex_pacer_config config = ten_per_second(VARNEX_MODE_HYBRID);
        config.margin_ns = fixed_ms * 1000000;
        varnex_pacer* pacer = nullptr;
        ASSERT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
        intptr_t handle = 0;
        ASSERT_EQ(varnex_pacer_wait_handle(pacer, &handle), VARNEX_OK);
        EXPECT_EQ(armed_margin(0), std::min<int64_t>(fixed_ms, kPeriodCounts / 2));
        varnex_pacer_destroy(pacer);
    }
    fake::set_counter(0, 1);
    varnex_pacer* pacer = create(VARNEX_MISSED_SKIP, VARNEX_MODE_HYBRID);
    intptr_t handle = 0;
    ASSERT_EQ(varnex_pacer_wait_handle(pacer, &handle), VARNEX_OK);
    varnex_tick tick{};
    tick.size = sizeof tick;
    for (uint64_t k = 0; k < 40; ++k) {
        // The loop answers 20 counts after each wake-up.
        fake::set_counter(due(k) - armed_margin(k) + 20, 1);
        ASSERT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
        ASSERT_EQ(tick.index, k);
    }
    const int64_t learned = armed_margin(40);
    EXPECT_GE(learned, 20);
    EXPECT_LT(learned, 40);
    for (uint64_t k = 40; k < 60; ++k) {
        fake::set_counter(due(k) - armed_margin(k) + 90, 1);
        ASSERT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
    }
    EXPECT_GT(armed_margin(60), learned);
    EXPECT_LE(armed_margin(60), kPeriodCounts / 2) << "a slow loop widens it up to half the period, no further";
    varnex_pacer_destroy(pacer);
}

// A signal ends the sleep early: by default the wait sleeps on; asked to,
// it returns interrupted and keeps the tick for the next wait.
TEST_F(PacerTest, ASignalDuringTheSleepEndsTheWaitOnlyWhenAskedTo)
{
    for (const uint32_t flags : {0u, VARNEX_PACER_RETURN_ON_SIGNAL}) {
        SCOPED_TRACE(flags);
        fake::reset();
        fake::set_frequency(kFrequency);
        varnex_pacer_config config = ten_per_second(VARNEX_MODE_SLEEP);
        config.flags = flags;
        varnex_pacer* pacer = nullptr;
        ASSERT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
        fake::interrupt_next_sleep();
        varnex_tick tick{};
        tick.size = sizeof tick;
        if (flags == 0) {
            EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
        } else {
            EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_E_INTERRUPTED);
            EXPECT_EQ(varnex_pacer_wait(pacer, &tick), VARNEX_OK);
        }
        EXPECT_EQ(tick.index, 0u);
        EXPECT_EQ(tick.lateness_ns, 0);
        varnex_pacer_destroy(pacer);
    }
}

TEST_F(PacerTest, InvalidConfigurationsCreateNothing)
{
    const varnex_pacer_config valid = ten_per_second(VARNEX_MODE_SLEEP);
    struct Case {
        const char* what;
        void (*spoil)(varnex_pacer_config&);
        int status;
    };
    const Case cases[] = {
        {"rate 0", [](varnex_pacer_config& c) { c.rate_num = 0; c.rate_hz = 0.0; }, VARNEX_E_INVALID_RATE},
        {"negative rate", [](varnex_pacer_config& c) { c.rate_num = 0; c.rate_hz = -1.0; }, VARNEX_E_INVALID_RATE},
        {"NaN", [](varnex_pacer_config& c) { c.rate_num = 0; c.rate_hz = std::nan(""); }, VARNEX_E_INVALID_RATE},
        {"infinite", [](varnex_pacer_config& c) { c.rate_num = 0; c.rate_hz = INFINITY; }, VARNEX_E_INVALID_RATE},
        {"denominator 0", [](varnex_pacer_config& c) { c.rate_den = 0; }, VARNEX_E_INVALID_RATE},
        {"under a count a tick", [](varnex_pacer_config& c) { c.rate_num = 1001; }, VARNEX_E_INVALID_RATE},
        {"double under a count a tick", [](varnex_pacer_config& c) { c.rate_num = 0; c.rate_hz = 1000.5; },
         VARNEX_E_INVALID_RATE},
        {"mode", [](varnex_pacer_config& c) { c.mode = 3; }, VARNEX_E_INVALID_MODE},
        {"policy", [](varnex_pacer_config& c) { c.missed = 3; }, VARNEX_E_INVALID_MISSED},
        {"phase", [](varnex_pacer_config& c) { c.phase_ns = -2; }, VARNEX_E_INVALID_PHASE},
        {"phase past 2^62 ns", [](varnex_pacer_config& c) { c.phase_ns = (int64_t{1} << 62) + 1; },
         VARNEX_E_INVALID_PHASE},
        {"size", [](varnex_pacer_config& c) { c.size = 40; }, VARNEX_E_INVALID_ARGUMENT},
        {"flags", [](varnex_pacer_config& c) { c.flags = 0x20; }, VARNEX_E_INVALID_ARGUMENT},
        {"TAI unaligned", [](varnex_pacer_config& c) { c.flags = VARNEX_PACER_TAI; }, VARNEX_E_INVALID_ARGUMENT},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        varnex_pacer_config config = valid;
        test.spoil(config);
        varnex_pacer* pacer = reinterpret_cast<varnex_pacer*>(&config);
        EXPECT_EQ(varnex_pacer_create(&config, &pacer), test.status);
        EXPECT_EQ(pacer, nullptr);
        EXPECT_STRNE(varnex_strerror(test.status), varnex_strerror(VARNEX_OK));
    }
    varnex_pacer* pacer = nullptr;
    EXPECT_EQ(varnex_pacer_create(nullptr, &pacer), VARNEX_E_INVALID_ARGUMENT);
    EXPECT_EQ(varnex_pacer_create(&valid, nullptr), VARNEX_E_INVALID_ARGUMENT);
    // The largest phase, on a counter with no room left for it.
    varnex_pacer_config largest_phase = valid;
    largest_phase.phase_ns = int64_t{1} << 62;
    fake::set_counter(std::numeric_limits<int64_t>::max() - 10, 1);
    EXPECT_EQ(varnex_pacer_create(&largest_phase, &pacer), VARNEX_E_INVALID_PHASE);
    EXPECT_EQ(pacer, nullptr);
    fake::set_counter(0, 1);
    ASSERT_EQ(varnex_pacer_create(&largest_phase, &pacer), VARNEX_OK);
    varnex_pacer_destroy(pacer);
    EXPECT_EQ(fake::calls_named("create_sleep_timer").size(), fake::calls_named("close_sleep_timer").size());
    fake::set_frequency(0, false);
    EXPECT_EQ(varnex_pacer_create(&valid, &pacer), VARNEX_E_NO_COUNTER);
    EXPECT_TRUE(fake::calls_named("show_message_box").empty());
}

TEST(PacerStats, PercentilesLieWithinTheHistogramsErrorAndDriftIgnoresAStall)
{
    auto stats = std::make_unique<LatenessStats>();
    std::vector<int64_t> samples;
    uint64_t state = 99;
    for (int index = 0; index < 100000; ++index) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        // Lateness from nanoseconds to milliseconds, log-uniform.
        samples.push_back(static_cast<int64_t>(std::pow(10.0, 1.0 + 5.0 * static_cast<double>(state >> 11) / 9007199254740992.0)));
        record_lateness(*stats, samples.back());
    }
    std::sort(samples.begin(), samples.end());
    for (const double fraction : {0.5, 0.99, 0.999}) {
        SCOPED_TRACE(fraction);
        const int64_t exact = samples[static_cast<size_t>(std::ceil(fraction * samples.size())) - 1];
        EXPECT_LE(std::abs(lateness_percentile(*stats, fraction) - exact), exact / 64 + 1);
    }
    EXPECT_EQ(stats->max_ns.load(), samples.back());

    auto steady = std::make_unique<LatenessStats>();
    for (int index = 0; index < 3000; ++index) {
        record_lateness(*steady, index < 1000 ? 100 : 150);
    }
    record_lateness(*steady, 10000000);
    EXPECT_EQ(lateness_drift(*steady), 50) << "one stall of 10 ms does not move it";
}

TEST(PacerMargin, LearnsTheQuantileRelearnsDownAndUpAndShrugsOffAStall)
{
    constexpr int64_t kPeriod = 100000;
    constexpr int64_t kWarmUp = 1000;
    MarginEstimator margin;
    init_margin(margin, 10, kWarmUp, kPeriod);
    EXPECT_EQ(margin_counts(margin), kWarmUp) << "before any sleep";
    // `slept_with`: the margin of that sleep; kPeriod for one it covered.
    auto sleep_once = [&](int64_t oversleep, int64_t slept_with) {
        learn_oversleep(margin, oversleep, slept_with);
        count_margin_tick(margin);
    };
    // One window of oversleeps 10, 20, ..., 5120 in a scrambled order: of
    // 512 samples, the 3rd largest.
    for (uint32_t tick = 0; tick < kMarginWindowTicks; ++tick) {
        sleep_once(10 * static_cast<int64_t>((tick * 389 + 7) % kMarginWindowTicks + 1), kPeriod);
    }
    EXPECT_EQ(margin_counts(margin), 5100);
    // Quieter: the old window is gone two windows on.
    for (uint32_t tick = 0; tick < 2 * kMarginWindowTicks; ++tick) {
        sleep_once(50, kPeriod);
    }
    EXPECT_EQ(margin_counts(margin), 50);
    // Busier: each overshoot doubles the margin, until the new oversleeps
    // reach the quantile's rank (of 516 samples, the 3rd and 4th largest).
    for (const int64_t widened : {100, 200, 400, 2000}) {
        sleep_once(2000, margin_counts(margin));
        EXPECT_EQ(margin_counts(margin), widened);
    }
    // A fresh pacer's one stall among 20 sleeps: the margin is twice the next
    // largest oversleep, and it stays far from the period.
    init_margin(margin, 10, kWarmUp, kPeriod);
    for (int tick = 0; tick < 20; ++tick) {
        sleep_once(100, kPeriod);
    }
    sleep_once(3 * kPeriod, margin_counts(margin));
    EXPECT_EQ(margin_counts(margin), 200);
}

TEST_F(PacerTest, AHybridWaitSleepsToItsMarginSpinsWhenTheMarginPassesThePeriodAndProbes)
{
    varnex_pacer_config config = ten_per_second(VARNEX_MODE_HYBRID);
    config.margin_ns = 30000000;  // 30 counts at 1000 counts a second
    varnex_pacer* pacer = nullptr;
    ASSERT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
    fake::set_oversleep(5);
    EXPECT_EQ(wait(pacer).lateness_ns, 0);
    const std::vector<fake::Call> sleeps = fake::calls_named("sleep_until");
    ASSERT_FALSE(sleeps.empty());
    EXPECT_EQ(sleeps.back().value, due(0) - 30);
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    ASSERT_EQ(varnex_pacer_get_stats(pacer, &stats), VARNEX_OK);
    EXPECT_EQ(stats.margin_ns, 30000000);
    EXPECT_EQ(stats.sleep_ns, 74000000) << "from the wait's first reading, 1, to the wake at 75";
    varnex_pacer_destroy(pacer);

    // Oversleeps of 120 counts, more than the period: after two sleeps the
    // margin learned passes it, and the waits spin, until a probe finds the
    // machine calm again and learning starts over.
    config.margin_ns = 0;
    ASSERT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
    fake::set_oversleep(120);
    auto margin_ns = [&] {
        varnex_pacer_stats now{};
        now.size = sizeof now;
        varnex_pacer_get_stats(pacer, &now);
        return now.margin_ns;
    };
    for (int tick = 0; tick < 10 && margin_ns() < 100000000; ++tick) {
        wait(pacer);
    }
    ASSERT_GE(margin_ns(), 100000000);
    auto sleeps_so_far = [] { return fake::calls_named("sleep_until").size(); };
    const size_t learning_sleeps = sleeps_so_far();
    for (uint32_t tick = 1; tick < kFirstProbeTicks; ++tick) {
        EXPECT_EQ(wait(pacer).lateness_ns, 0);
    }
    EXPECT_EQ(sleeps_so_far(), learning_sleeps);
    fake::set_oversleep(5);
    wait(pacer);
    const size_t probe_sleeps = sleeps_so_far();
    EXPECT_GT(probe_sleeps, learning_sleeps) << "no probe";
    wait(pacer);
    EXPECT_GT(sleeps_so_far(), probe_sleeps) << "the probe did not restart the learning";
    // A host built against the shorter statistics of version 1.1 gets them.
    struct {
        varnex_pacer_stats stats;
        uint32_t guard;
    } old{};
    old.stats.size = 88;
    old.stats.margin_ns = 7;
    ASSERT_EQ(varnex_pacer_get_stats(pacer, &old.stats), VARNEX_OK);
    EXPECT_EQ(old.stats.size, 88u);
    EXPECT_GT(old.stats.ticks, kFirstProbeTicks);
    EXPECT_EQ(old.stats.margin_ns, 7) << "written past the host's size";
    old.stats.size = offsetof(varnex_pacer_stats, margin_ns) + 4;
    ASSERT_EQ(varnex_pacer_get_stats(pacer, &old.stats), VARNEX_OK);
    EXPECT_EQ(old.stats.margin_ns, 7) << "half of a field written";
    varnex_pacer_destroy(pacer);
}

// Each control is held only while the pacer needs it and put back with what
// it saved: memory and latency for the pacer's life, affinity for the wait,
// real time for the sleep, the boost for the spin. One the system refused is
// reported, and nothing is put back for it.
TEST_F(PacerTest, ControlsAreHeldOnlyWhileNeededAndEachReportsHowItFared)
{
    using platform::Control;
    varnex_pacer_config config = ten_per_second(VARNEX_MODE_HYBRID);
    config.margin_ns = 30000000;
    varnex_pacer* pacer = nullptr;
    ASSERT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
    fake::set_control_result(Control::kDmaLatency, platform::ControlResult::kDenied);
    fake::set_control_result(Control::kMmcss, platform::ControlResult::kUnsupported);
    varnex_pacer_controls controls{sizeof controls,
                                   VARNEX_CONTROL_BOOST | VARNEX_CONTROL_AFFINITY | VARNEX_CONTROL_REALTIME |
                                       VARNEX_CONTROL_LOCK_MEMORY | VARNEX_CONTROL_DMA_LATENCY | VARNEX_CONTROL_MMCSS,
                                   0x1, 20, 0};
    ASSERT_EQ(varnex_pacer_set_controls(pacer, &controls), VARNEX_OK);
    wait(pacer);
    varnex_pacer_destroy(pacer);
    std::vector<std::string> steps;
    for (const fake::Call& call : fake::calls()) {
        if (call.operation == "apply_control" || call.operation == "restore_control") {
            steps.push_back(call.operation.substr(0, call.operation.find('_')) + " " + std::to_string(call.value));
        } else if (call.operation == "sleep_until" && steps.back() != "sleep") {
            steps.push_back("sleep");
        }
    }
    // Controls by number: boost 0, affinity 1, real time 2, memory 3,
    // latency 4, MMCSS 6; a restore hands back 100 + the number.
    const std::vector<std::string> expected = {"apply 3", "apply 4", "apply 1", "apply 6", "apply 2", "sleep",
                                               "restore 102", "apply 0", "restore 100", "restore 101", "restore 103"};
    EXPECT_EQ(steps, expected);

    ASSERT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
    ASSERT_EQ(varnex_pacer_set_controls(pacer, &controls), VARNEX_OK);
    wait(pacer);
    varnex_pacer_stats stats{};
    stats.size = sizeof stats;
    ASSERT_EQ(varnex_pacer_get_stats(pacer, &stats), VARNEX_OK);
    EXPECT_EQ(stats.controls_active, VARNEX_CONTROL_BOOST | VARNEX_CONTROL_AFFINITY | VARNEX_CONTROL_REALTIME |
                                         VARNEX_CONTROL_LOCK_MEMORY);
    EXPECT_EQ(stats.controls_denied, VARNEX_CONTROL_DMA_LATENCY);
    EXPECT_EQ(stats.controls_unsupported, VARNEX_CONTROL_MMCSS);
    // Controls that the pacer cannot take change nothing.
    varnex_pacer_controls empty_mask = controls;
    empty_mask.affinity_mask = 0;
    EXPECT_EQ(varnex_pacer_set_controls(pacer, &empty_mask), VARNEX_E_INVALID_CONTROL);
    varnex_pacer_controls unknown = controls;
    unknown.flags |= 0x80;
    EXPECT_EQ(varnex_pacer_set_controls(pacer, &unknown), VARNEX_E_INVALID_ARGUMENT);
    varnex_pacer_destroy(pacer);
    config.mode = VARNEX_MODE_SPIN;
    ASSERT_EQ(varnex_pacer_create(&config, &pacer), VARNEX_OK);
    EXPECT_EQ(varnex_pacer_set_controls(pacer, &controls), VARNEX_E_INVALID_CONTROL) << "real time for a spin";
    varnex_pacer_destroy(pacer);
    // The affinity's store is made once a pacer, and freed with it.
    EXPECT_EQ(fake::calls_named("create_affinity_store").size(), 2u);
    EXPECT_EQ(fake::calls_named("close_affinity_store").size(), 2u);
}

}  // namespace
