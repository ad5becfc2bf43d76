#include "avbind/Sync.h"

#include <sys/resource.h>
#include <unistd.h>

namespace avbind {

void SetCurrentThreadPriority(TThreadPriority priority) {
    static const int nice[] = {19, 10, 5, 0, -5, -10, -15};
    // On Linux the nice value belongs to the thread named by its id.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice[static_cast<int>(priority)]);
}

} // namespace avbind
