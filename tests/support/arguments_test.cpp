#include "arguments.h"

#include <gtest/gtest.h>

#include <vector>

// An option written last with no value stops the reading: dropped, it would
// leave the run to go on without it.
TEST(Arguments, AnOptionWithNoValueAfterItIsReportedNotDropped)
{
    const auto take = [](const char*) { return true; };
    const std::vector<arguments::Option> known = {{"--csv", take}, {"--rounds", take}};
    char* argv[] = {const_cast<char*>("program"), const_cast<char*>("--csv"), const_cast<char*>("out.csv"),
                    const_cast<char*>("--rounds")};
    const arguments::Parsed parsed = arguments::parse(4, argv, known);
    EXPECT_EQ(parsed.outcome, arguments::Outcome::kNoValue);
    EXPECT_EQ(parsed.option, "--rounds");
}
