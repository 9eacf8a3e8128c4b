// A host built by MinGW against the public header and libVarnex.dll.a.
#include "host_checks.h"

int main()
{
    return run_host_checks();
}
