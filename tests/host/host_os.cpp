#include "host_os.h"

namespace host {

unsigned new_thread(const std::set<unsigned>& before)
{
    for (const unsigned id : thread_ids()) {
        if (before.count(id) == 0) {
            return id;
        }
    }
    return 0;
}

}  // namespace host
