#include "installer/host_keypair.h"

#include "RoVodEre/ScopeGuard.h"
#include "installer/installer_state.h"
#include "installer/registry_values.h"
#include "settings/server/product_key.h"
#include "ssh/public_key_info.h"
#include "ssh/signer.h"

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>

#include <windows.h>

#include <cstring>
#include <exception>

namespace {

// The private key's hexadecimal text, up to its terminating zero. A value stored without
// one keeps its last digit.
void ReadEarlierPrivateKeyText(CryptoPP::SecByteBlock& text)
{
    HKEY key = nullptr;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, kProductKeyPath, &key) != ERROR_SUCCESS)
        throw InstallError("");
    auto closeKey = MakeGuard(RegCloseKey, key);
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, "PrivateKey", nullptr, &type, nullptr, &size) != ERROR_SUCCESS || size == 0 ||
        type != REG_SZ)
        throw InstallError("");
    text.New(size);
    if (RegQueryValueExA(key, "PrivateKey", nullptr, &type, text.data(), &size) != ERROR_SUCCESS || type != REG_SZ)
        throw InstallError("");
    const void* zero = std::memchr(text.data(), 0, size);
    text.resize(zero ? static_cast<const CryptoPP::byte*>(zero) - text.data() : size);
}

// The bytes a transformation holds, into a block that is wiped when released.
void MoveToSecureBlock(CryptoPP::ByteQueue& queue, CryptoPP::SecByteBlock& block)
{
    block.New(static_cast<size_t>(queue.MaxRetrievable()));
    queue.Get(block.data(), block.size());
}

}  // namespace

bool ImportEarlierKeypair(std::string& publicKey, CryptoPP::SecByteBlock& privateKey)
{
    try {
        publicKey.clear();
        const std::string publicText = ReadRegString(HKEY_LOCAL_MACHINE, kProductKeyPath, "PublicKey");
        CryptoPP::StringSource(publicText, true, new CryptoPP::HexDecoder(new CryptoPP::StringSink(publicKey)));
        if (publicKey.empty())
            throw InstallError("");

        CryptoPP::SecByteBlock privateText;
        ReadEarlierPrivateKeyText(privateText);
        // Decoded into a queue of wiped blocks, so a key of any length is taken whole.
        CryptoPP::ByteQueue decoded;
        CryptoPP::StringSource(privateText.data(), privateText.size(), true,
                               new CryptoPP::HexDecoder(new CryptoPP::Redirector(decoded)));
        MoveToSecureBlock(decoded, privateKey);
        if (privateKey.empty())
            throw InstallError("");
        return true;
    } catch (const std::exception&) {
        publicKey.clear();
        privateKey.New(0);
        return false;
    }
}

void GenerateHostKeypair(std::string& publicKey, CryptoPP::SecByteBlock& privateKey)
{
    CryptoPP::AutoSeededRandomPool rng(true, 64);
    Signer signer(rng, "ssh-dss", 1024);
    CryptoPP::ByteQueue encoded;
    signer.EncodePrivateKey(encoded);
    MoveToSecureBlock(encoded, privateKey);
    CryptoPP::StringSink publicSink(publicKey);
    signer.EncodePublicKey(publicSink);
}

void PrintFingerprints(const std::string& publicKey)
{
    CryptoPP::StringSource source(publicKey, true);
    PublicKeyInfo info(source);
    PrintLine("MD5 Fingerprint: " + info.Md5Fingerprint());
    PrintLine("BubbleBabble: " + info.BubbleBabble());
}
