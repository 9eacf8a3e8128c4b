// The threaded timer's priority index, read back from the worker's nice value.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "host_os.h"
#include "varnex.h"

namespace {

int nice_of(unsigned thread_id)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(thread_id) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    // Field 19 of stat is the nice value; fields from the third on follow ')'.
    for (int index = 3; index <= 19; ++index) {
        fields >> field;
    }
    return std::stoi(field);
}

bool worker_ends(void* timer)
{
    const double deadline_s = host::seconds_now() + 5.0;
    CloseRTTimer(timer);
    while (CloseRTTimer(timer) != -1) {
        if (host::seconds_now() > deadline_s) {
            return false;
        }
        host::sleep_for(0.001);
    }
    return true;
}

TEST(ThreadedTimer, PriorityIndexSetsTheWorkersNiceBelowTheProcesses)
{
    const int process_nice = nice_of(static_cast<unsigned>(getpid()));
    // Raising a thread needs CAP_SYS_NICE; without it the request is refused
    // and ignored.
    const bool may_raise = geteuid() == 0;
    const int expected_offset[] = {may_raise ? -10 : 0, may_raise ? -5 : 0, 0};
    for (int index = 0; index <= 2; ++index) {
        SCOPED_TRACE(index);
        const std::set<unsigned> before = host::thread_ids();
        void* timer = OpenRTTimer(100, index);
        ASSERT_NE(timer, nullptr);
        const unsigned worker = host::new_thread(before);
        ASSERT_NE(worker, 0u);
        EXPECT_EQ(nice_of(worker) - process_nice, expected_offset[index]);
        EXPECT_TRUE(worker_ends(timer));
    }
}

}  // namespace
