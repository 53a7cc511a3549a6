// Runs code that must fail a container check: on a thread of its own, since the check
// handler ends the calling thread.
#pragma once

#include <functional>
#include <string>

struct CheckFailure {
    unsigned long exitCode;  // of the thread that ran the body
    std::string message;     // what the handler reported; empty when no check failed
};

CheckFailure RunExpectingCheckFailure(const std::function<void()>& body);

// The "line %u:\r\n<text>" part of a failure message, for comparing with a check's table.
std::string LineAndText(unsigned line, const std::string& text);
