// Keys generated once per test program.
#pragma once

#include "ssh/signer.h"
#include "stream_helpers.h"

#include <cryptopp/osrng.h>

#include <memory>

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
