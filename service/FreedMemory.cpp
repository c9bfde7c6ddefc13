#include "service/FreedMemory.h"

#include <malloc.h>

namespace Mux::Service {

void FreedMemory::GiveBackWhenDue(Clock::time_point now) {
    if (now < due_) {
        return;
    }
    ::malloc_trim(0);
    due_ = now + kInterval;
}

}  // namespace Mux::Service
