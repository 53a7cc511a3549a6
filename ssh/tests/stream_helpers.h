// Byte queues from and to strings, and the text of what a call throws.
#pragma once

#include <cryptopp/filters.h>
#include <cryptopp/queue.h>

#include <exception>
#include <string>

inline CryptoPP::ByteQueue QueueOf(const std::string& bytes)
{
    CryptoPP::ByteQueue q;
    q.Put(reinterpret_cast<const CryptoPP::byte*>(bytes.data()), bytes.size());
    return q;
}

inline std::string Contents(const CryptoPP::BufferedTransformation& q)
{
    std::string s;
    CryptoPP::StringSink sink(s);
    q.CopyTo(sink);
    return s;
}

template <class Encode>
std::string Written(Encode encode)
{
    CryptoPP::ByteQueue q;
    encode(q);
    return Contents(q);
}

// The what() of the exception the call throws, "(nothing thrown)" when it returns.
template <class Call>
std::string ErrorOf(Call call)
{
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(nothing thrown)";
}
