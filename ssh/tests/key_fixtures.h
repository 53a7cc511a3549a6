// Keys generated once per test program, and small stream helpers.
#pragma once

#include "ssh/signer.h"

#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>

#include <memory>
#include <string>

inline CryptoPP::AutoSeededRandomPool& TestRng()
{
    static CryptoPP::AutoSeededRandomPool rng;
    return rng;
}

inline const Signer& DsaKey()
{
    static std::unique_ptr<Signer> key(new Signer(TestRng(), "ssh-dss", 1024));
    return *key;
}

inline const Signer& RsaKey()
{
    static std::unique_ptr<Signer> key(new Signer(TestRng(), "ssh-rsa", 1024));
    return *key;
}

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
