// The tracer of a wait container, apart from the container so that classes which only trace
// (a connection's log) do not pull in the system headers.
#pragma once

#include <string>

namespace CryptoPP {

// Told when a loop keeps finding something to do without ever waiting: a busy loop, which
// costs a whole processor and usually means an object claims progress it cannot make.
class WaitObjectsTracer {
public:
    virtual ~WaitObjectsTracer() = default;
    virtual void TraceNoWaitLoop(const std::string& description) = 0;
};

}  // namespace CryptoPP
