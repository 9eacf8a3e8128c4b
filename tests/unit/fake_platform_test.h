// The fixture of the threaded timer's tests on the fake platform: a fresh
// fake at frequency 1000, and after each test, the check that no handle was
// used once the library had released it.
#ifndef VARNEX_FAKE_PLATFORM_TEST_H
#define VARNEX_FAKE_PLATFORM_TEST_H

#include <gtest/gtest.h>

#include "fake_platform.h"

class FakePlatformTest : public ::testing::Test {
protected:
    static constexpr int64_t kFrequency = 1000;
    static constexpr uint32_t kEndLimitMs = 10000;

    void SetUp() override
    {
        fake::reset();
        fake::set_frequency(kFrequency);
    }
    void TearDown() override
    {
        EXPECT_TRUE(fake::uses_after_release().empty()) << "a released handle was used again";
        fake::reset();
    }
};

#endif
