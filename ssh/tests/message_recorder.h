// A sink standing for the connection's outgoing path: every ended message is one entry.
#pragma once

#include <cryptopp/filters.h>

#include <string>
#include <vector>

class MessageRecorder : public CryptoPP::Bufferless<CryptoPP::Sink> {
public:
    std::vector<std::string> messages;
    std::string pending;

    std::size_t Put2(const CryptoPP::byte* data, std::size_t length, int messageEnd, bool) override
    {
        pending.append(reinterpret_cast<const char*>(data), length);
        if (messageEnd) {
            messages.push_back(pending);
            pending.clear();
        }
        return 0;
    }
};
