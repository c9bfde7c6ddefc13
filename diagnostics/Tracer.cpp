#include "diagnostics/Tracer.h"

#include "diagnostics/Log.h"

namespace Diagnostics {

Tracer& Tracer::GetInstance() {
    static Tracer* const instance = new Tracer();
    return *instance;
}

void Tracer::WriteLine(std::string message, unsigned int level) {
    switch (level) {
        case 1:
            LOG_INFO << message;
            break;
        case 2:
            LOG_WARNING << message;
            break;
        case 4:
            LOG_ERROR << message;
            break;
        case 8:
            LOG_VERBOSE << message;
            break;
        default:
            LOG_DEBUG << message;
            break;
    }
}

}  // namespace Diagnostics
