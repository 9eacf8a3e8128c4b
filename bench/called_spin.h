// The bare absolute spin behind a call into another translation unit: what
// any library's spin pays on its way back to the host, and no more.
#pragma once

#include <cstdint>

int64_t spin_until_in_called_function(int64_t deadline, int64_t (*read_counter)());
