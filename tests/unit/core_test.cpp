// The shared arithmetic, the open prologue and the placeholders, exactly, on
// the fake counter.
#include <gtest/gtest.h>

#include "dropin/timer_state.h"
#include "fake_platform.h"
#include "varnex.h"

namespace {

class CoreTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override { fake::reset(); }
};

struct StateSnapshot {
    int64_t threshold;
    int32_t running;
    void* event;
    void* thread;
    uint32_t thread_id;
    int64_t prev_tick, last_tick, prev_tick_lv, last_tick_lv;

    static StateSnapshot take()
    {
        return {timer_state.liThreshold.load(),  timer_state.nRunning.load(),
                timer_state.hTimerEvent.load(),  timer_state.hTimerThread.load(),
                timer_state.dwTimerThreadId.load(), timer_state.liPrevTick,
                timer_state.liLastTick,           timer_state.liPrevTickLV,
                timer_state.liLastTickLV};
    }
    bool operator==(const StateSnapshot&) const = default;
};

TEST_F(CoreTest, ThresholdIsFrequencyOverRateMinusOne)
{
    fake::set_frequency(500);
    ASSERT_TRUE(open_prologue(7, 0));
    set_threshold(7);
    EXPECT_EQ(timer_state.liThreshold.load(), 70);

    set_threshold(500);
    EXPECT_EQ(timer_state.liThreshold.load(), 0);
    set_threshold(501);
    EXPECT_EQ(timer_state.liThreshold.load(), -1);
    set_threshold(499);
    EXPECT_EQ(timer_state.liThreshold.load(), 0);
}

TEST_F(CoreTest, SpinEndsAtFirstReadingAtOrPastTheThreshold)
{
    timer_state.liThreshold.store(70);
    fake::script_readings({30, 64, 99, 100, 140});
    int64_t latest = 0;
    const SpinEnd end = spin_wait(30, &latest);
    EXPECT_EQ(end.end_reading, 100);
    EXPECT_EQ(end.elapsed_counts, 70);
    EXPECT_EQ(latest, 100);
    EXPECT_EQ(fake::reads(), 4u);
}

TEST_F(CoreTest, SpinStoresEveryReadingAsItIsTaken)
{
    timer_state.liThreshold.store(70);
    fake::script_readings({40, 50, 120});
    fake::pause_at_read(3);
    int64_t latest = 0;
    std::thread spinner([&] { spin_wait(30, &latest); });
    fake::wait_until_paused();
    EXPECT_EQ(latest, 50);
    fake::resume();
    spinner.join();
    EXPECT_EQ(latest, 120);
}

TEST_F(CoreTest, ThresholdOfZeroOrMinusOneEndsEverySpinAtItsFirstReading)
{
    for (const int64_t threshold : {int64_t{0}, int64_t{-1}}) {
        timer_state.liThreshold.store(threshold);
        fake::script_readings({30});
        int64_t latest = 0;
        const uint64_t reads_before = fake::reads();
        const SpinEnd end = spin_wait(30, &latest);
        EXPECT_EQ(end.elapsed_counts, 0);
        EXPECT_EQ(fake::reads() - reads_before, 1u);
    }
}

TEST_F(CoreTest, SecondsAreElapsedCountsOverFrequency)
{
    timer_state.liFrequency.store(10000000);
    EXPECT_DOUBLE_EQ(counts_to_seconds(100000), 0.01);
    EXPECT_DOUBLE_EQ(counts_to_seconds(-5000000), -0.5);
}

// Every cause of a failed open, through both opens: one report, a zero result,
// and nothing but liFrequency changed.
TEST_F(CoreTest, FailedOpenChangesOnlyTheFrequencyAndReportsOnce)
{
    struct Failure {
        const char* cause;
        long rate;
        int priority_index;
        bool query_succeeds;
    };
    const Failure failures[] = {
        {"priority -1", 100, -1, true}, {"priority 3", 100, 3, true},
        {"rate 0", 0, 0, true},         {"rate -1", -1, 0, true},
        {"no counter", 100, 0, false},
    };
    for (const Failure& failure : failures) {
        for (const bool threaded : {false, true}) {
            SCOPED_TRACE(std::string(failure.cause) + (threaded ? " threaded" : " polling"));
            fake::reset();
            fake::set_frequency(1000);
            ASSERT_EQ(OpenRTTimerLV(10, 1), 0xFFFFFFFFu);
            WaitForRTTimerLV(0);
            timer_state.liPrevTick = 11;
            timer_state.liLastTick = 12;
            const StateSnapshot before = StateSnapshot::take();
            const size_t calls_before = fake::calls().size();

            fake::set_frequency(2000, failure.query_succeeds);
            if (threaded) {
                EXPECT_EQ(OpenRTTimer(failure.rate, failure.priority_index), nullptr);
            } else {
                EXPECT_EQ(OpenRTTimerLV(failure.rate, failure.priority_index), 0u);
            }

            EXPECT_TRUE(StateSnapshot::take() == before);
            EXPECT_EQ(timer_state.liFrequency.load(), failure.query_succeeds ? 2000 : 0);
            ASSERT_EQ(fake::message_boxes().size(), 1u);
            EXPECT_EQ(fake::message_boxes()[0], "Info: Performance counter is not available.");
            // Only the frequency query and the report reached the platform.
            EXPECT_EQ(fake::calls().size(), calls_before + 2);
        }
    }
}

TEST_F(CoreTest, PlaceholdersTakeNoPartInTiming)
{
    fake::set_frequency(1000);
    ASSERT_EQ(OpenRTTimerLV(10, 0), 0xFFFFFFFFu);
    const StateSnapshot before = StateSnapshot::take();
    const size_t calls_before = fake::calls().size();

    CVarnex first;
    CVarnex second(first);
    CVarnex* made = new CVarnex;
    CVarnex& assigned = (*made = second);
    EXPECT_EQ(&assigned, made);
    delete made;

    EXPECT_EQ(nVarnex, 0);
    EXPECT_TRUE(StateSnapshot::take() == before);
    EXPECT_EQ(fake::calls().size(), calls_before);
}

}  // namespace
