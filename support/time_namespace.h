// Programs started in a time namespace of their own, as on a machine whose
// monotonic clock started elsewhere: the system clock is the one all share.
#ifndef VARNEX_TESTS_TIME_NAMESPACE_H
#define VARNEX_TESTS_TIME_NAMESPACE_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace time_namespace {

// What the namespace's monotonic clock reads ahead of this one's: 1,000.123456
// s, not a whole number of any period.
constexpr long long kMonotonicOffsetNs = 1000123456000;

// False where the system refuses a time namespace (CLONE_NEWTIME).
bool allowed();

struct Started {
    pid_t process;
    int output;  // the program's standard output
};
// `arguments` (the program first), in this namespace or in a new one; its
// process is -1 if it did not start. In a new one, the program exits 77 when
// the system refuses the namespace and 3 when its offsets did not take.
Started start(const std::vector<std::string>& arguments, bool own_namespace);

struct Finished {
    std::string output;
    int exit_status;  // -1 for a program that did not exit
};
Finished finish(const Started& started);

}  // namespace time_namespace

#endif
