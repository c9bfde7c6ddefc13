#pragma once
// A small facade that maps its own level numbers onto log severities:
// 1 info, 2 warning, 4 error, 8 verbose, anything else debug.

#include <string>

namespace Diagnostics {

class Tracer {
public:
    // The process-wide instance: created on first use, never destroyed.
    static Tracer& GetInstance();

    // Writes message as one statement of WriteLine itself; callers put their origin
    // ("[Class::Method] ") at the start of the message.
    void WriteLine(std::string message, unsigned int level);

private:
    Tracer() = default;
};

}  // namespace Diagnostics
