#include "called_spin.h"

int64_t spin_until_in_called_function(int64_t deadline, int64_t (*read_counter)())
{
    int64_t reading;
    do {
        reading = read_counter();
    } while (reading < deadline);
    return reading;
}
