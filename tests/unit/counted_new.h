// The unit test program replaces the global operator new and delete with a
// pair that counts every allocation, for the tests that assert none happens.
#pragma once

#include <cstdint>

uint64_t counted_allocations();
