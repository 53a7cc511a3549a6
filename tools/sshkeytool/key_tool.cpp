#include "tools/sshkeytool/key_tool.h"

#include "RoVodEre/ScopeGuard.h"
#include "foundation/encoding_conversion.h"
#include "foundation/exceptions.h"
#include "ssh/key_files.h"
#include "ssh/public_key_info.h"
#include "ssh/signer.h"

#include <cryptopp/filters.h>
#include <cryptopp/osrng.h>
#include <cryptopp/queue.h>

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <iomanip>
#include <map>

const char KeyToolUsage[] =
    "usage:\n"
    "  sshkeytool keygen --alg ssh-dss|ssh-rsa --bits N [--comment TEXT] [--passphrase TEXT] --out FILE\n"
    "      writes FILE (PEM private key), FILE.pub (one-line public key) and FILE.ssh2 (RFC 4716);\n"
    "      ssh-dss keys have 1024 bits, ssh-rsa keys 1024 to 16384\n"
    "  sshkeytool fingerprint FILE [--passphrase TEXT]\n"
    "      FILE: a PEM private key, a one-line or RFC 4716 public key, or a binary key blob\n"
    "  sshkeytool bench [--rounds N]\n"
    "      times DSA-1024 and RSA-2048 generation and signing with verification, each next to\n"
    "      the same work done with Crypto++ directly\n"
    "  sshkeytool --help\n";

namespace {

using CryptoPP::ByteQueue;

struct Options {
    std::string positional;
    std::map<std::string, std::string> values;

    bool Has(const std::string& name) const { return values.count(name) != 0; }
    std::string Get(const std::string& name) const { return Has(name) ? values.at(name) : std::string(); }
    std::string Required(const std::string& name) const
    {
        if (!Has(name)) throw UsageError("--" + name + " is required");
        return values.at(name);
    }
};

// "--name value" pairs from the allowed names, and at most one plain argument when wanted.
Options ParseOptions(const std::vector<std::string>& args, std::initializer_list<const char*> allowed,
                     bool wantsPositional)
{
    Options options;
    bool havePositional = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.compare(0, 2, "--") == 0) {
            const std::string name = arg.substr(2);
            bool known = false;
            for (const char* a : allowed) known = known || name == a;
            if (!known) throw UsageError("unknown option " + arg);
            if (i + 1 >= args.size()) throw UsageError(arg + " needs a value");
            if (options.Has(name)) throw UsageError(arg + " is given twice");
            options.values[name] = args[++i];
        } else if (wantsPositional && !havePositional) {
            options.positional = arg;
            havePositional = true;
        } else {
            throw UsageError("unexpected argument " + arg);
        }
    }
    if (wantsPositional && !havePositional) throw UsageError("a file name is required");
    return options;
}

unsigned PositiveNumber(const std::string& text, const char* option)
{
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || text[0] == '-' || value == 0 || value > 65536)
        throw UsageError(std::string("--") + option + " needs a number from 1 to 65536, not \"" + text + "\"");
    return static_cast<unsigned>(value);
}

std::runtime_error FileError(const std::string& what, const std::string& path)
{
    return std::runtime_error(path + ": cannot " + what + " (" + OsErrorException(GetLastError()).what() + ")");
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw FileError("create the file", path);
    auto closer = MakeGuard(CloseHandle, file);
    DWORD written = 0;
    if (!::WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) || written != bytes.size())
        throw FileError("write the file", path);
}

std::string Text(const ByteQueue& q)
{
    std::string s;
    CryptoPP::StringSink sink(s);
    q.CopyTo(sink);
    return s;
}

// The installer's two fingerprint lines.
void PrintFingerprints(const std::string& publicKey, std::ostream& out)
{
    CryptoPP::StringSource in(publicKey, true);
    PublicKeyInfo info(in);
    out << "MD5 Fingerprint: " << info.Md5Fingerprint() << "\n";
    out << "BubbleBabble: " << info.BubbleBabble() << "\n";
}

int KeyGen(const std::vector<std::string>& args, std::ostream& out)
{
    const Options options = ParseOptions(args, {"alg", "bits", "comment", "passphrase", "out"}, false);
    const std::string algorithm = options.Required("alg");
    if (algorithm != "ssh-dss" && algorithm != "ssh-rsa")
        throw UsageError("--alg must be ssh-dss or ssh-rsa, not \"" + algorithm + "\"");
    const unsigned bits = PositiveNumber(options.Required("bits"), "bits");
    // Only sizes other SSH software takes: "ssh-dss" is 1024-bit DSA, and OpenSSH refuses RSA
    // moduli below 1024 and above 16384 bits.
    if (algorithm == "ssh-dss" && bits != 1024) throw UsageError("--bits must be 1024 for ssh-dss keys");
    if (algorithm == "ssh-rsa" && (bits < 1024 || bits > 16384))
        throw UsageError("--bits must be from 1024 to 16384 for ssh-rsa keys");
    const std::string path = options.Required("out");
    const std::string passphrase = options.Get("passphrase");

    CryptoPP::AutoSeededRandomPool rng;
    ByteQueue ssh2, oneLine, pem;
    GenerateKeyFiles(algorithm, rng, bits, options.Get("comment"), ssh2, oneLine, passphrase.data(),
                     passphrase.size(), pem);
    WriteFile(path, Text(pem));
    WriteFile(path + ".pub", Text(oneLine));
    WriteFile(path + ".ssh2", Text(ssh2));
    PrintFingerprints(Text(oneLine), out);
    return 0;
}

// The public-key blob of a PEM private-key file.
std::string PublicKeyOfPem(const std::string& file, const std::string& path, const Options& options)
{
    const std::string passphrase = options.Get("passphrase");
    const std::unique_ptr<Signer> key =
        DecodePrivateKeyFile(path, file, options.Has("passphrase") ? &passphrase : nullptr, " with --passphrase");
    ByteQueue blob;
    key->EncodePublicKey(blob);
    return Text(blob);
}

int Fingerprint(const std::vector<std::string>& args, std::ostream& out)
{
    const Options options = ParseOptions(args, {"passphrase"}, true);
    const std::string& path = options.positional;
    const std::string file = ReadKeyFile(path);
    const bool isPem = file.find("-----BEGIN ") != std::string::npos;
    const std::string publicKey = isPem ? PublicKeyOfPem(file, path, options) : file;
    try {
        PrintFingerprints(publicKey, out);
    } catch (const std::exception& e) {
        throw std::runtime_error(path + ": " + e.what());
    }
    return 0;
}

template <class Operation>
double Milliseconds(Operation operation)
{
    const auto start = std::chrono::steady_clock::now();
    operation();
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count();
}

// One sample of ours and one of the same work done with Crypto++ directly, in alternating
// order so that neither side always runs on a warmer cache.
template <class Ours, class Raw>
void Sample(std::ostream& out, const char* name, unsigned index, Ours ours, Raw raw)
{
    double oursMs, rawMs;
    if (index % 2 == 0) {
        oursMs = Milliseconds(ours);
        rawMs = Milliseconds(raw);
    } else {
        rawMs = Milliseconds(raw);
        oursMs = Milliseconds(ours);
    }
    out << name << " ours " << oursMs << "\n" << name << " raw " << rawMs << "\n";
}

void SignAndVerify(CryptoPP::RandomNumberGenerator& rng, const Signer& key, const std::string& blob)
{
    static const char data[] = "the exchange hash of a key exchange";
    const std::string signature = key.Sign(rng, data, sizeof data);
    if (!SSH::VerifySignature(blob.data(), blob.size(), data, sizeof data, signature.data(), signature.size()))
        throw std::runtime_error("a signature did not verify");
}

template <class RawSigner, class RawVerifier>
void RawSignAndVerify(CryptoPP::RandomNumberGenerator& rng, const RawSigner& signer, const RawVerifier& verifier)
{
    static const char data[] = "the exchange hash of a key exchange";
    const auto* bytes = reinterpret_cast<const CryptoPP::byte*>(data);
    CryptoPP::SecByteBlock signature(signer.SignatureLength());
    signer.SignMessage(rng, bytes, sizeof data, signature);
    if (!verifier.VerifyMessage(bytes, sizeof data, signature, signature.size()))
        throw std::runtime_error("a signature did not verify");
}

// Every timing as "OPERATION ours|raw MS", one line each; raw is the bare Crypto++ call.
int Bench(const std::vector<std::string>& args, std::ostream& out)
{
    const Options options = ParseOptions(args, {"rounds"}, false);
    const unsigned rounds = options.Has("rounds") ? PositiveNumber(options.Get("rounds"), "rounds") : 10;
    CryptoPP::AutoSeededRandomPool rng;
    out << std::fixed << std::setprecision(3);
    for (unsigned i = 0; i < rounds; ++i) {
        Sample(out, "dsa-1024-keygen", i, [&] { Signer(rng, "ssh-dss", 1024); },
               [&] { CryptoPP::DSA::Signer(rng, 1024); });
        Sample(out, "rsa-2048-keygen", i, [&] { Signer(rng, "ssh-rsa", 2048); }, [&] {
            CryptoPP::InvertibleRSAFunction key;
            key.Initialize(rng, 2048, 17);
        });
    }

    const Signer dsa(rng, "ssh-dss", 1024), rsa(rng, "ssh-rsa", 2048);
    // Keys of the same sizes as bare Crypto++ objects, their verifiers built once.
    const CryptoPP::DSA::Signer rawDsa(rng, 1024);
    const CryptoPP::DSA::Verifier rawDsaVerifier(rawDsa);
    CryptoPP::InvertibleRSAFunction rsaKey;
    rsaKey.Initialize(rng, 2048, 17);
    const CryptoPP::RSASSA_PKCS1v15_SHA_Signer rawRsa(rsaKey);
    const CryptoPP::RSASSA_PKCS1v15_SHA_Verifier rawRsaVerifier(rawRsa);

    ByteQueue dsaBlob, rsaBlob;
    dsa.EncodePublicKey(dsaBlob);
    rsa.EncodePublicKey(rsaBlob);
    const std::string dsaBlobText = Text(dsaBlob), rsaBlobText = Text(rsaBlob);
    for (unsigned i = 0; i < rounds * 10; ++i) {
        Sample(out, "dsa-1024-sign-verify", i, [&] { SignAndVerify(rng, dsa, dsaBlobText); },
               [&] { RawSignAndVerify(rng, rawDsa, rawDsaVerifier); });
        Sample(out, "rsa-2048-sign-verify", i, [&] { SignAndVerify(rng, rsa, rsaBlobText); },
               [&] { RawSignAndVerify(rng, rawRsa, rawRsaVerifier); });
    }
    return 0;
}

}  // namespace

int RunKeyTool(const std::vector<std::string>& args, std::ostream& out)
{
    if (args.empty()) throw UsageError("a command is required");
    if (args[0] == "--help" && args.size() == 1) {
        out << KeyToolUsage;
        return 0;
    }
    if (args[0] == "keygen") return KeyGen(args, out);
    if (args[0] == "fingerprint") return Fingerprint(args, out);
    if (args[0] == "bench") return Bench(args, out);
    throw UsageError("unknown command " + args[0]);
}
