#include "ssh/key_files.h"

#include "ssh/signer.h"
#include "ssh/wire.h"

#include "RoVodEre/ScopeGuard.h"
#include "foundation/encoding_conversion.h"
#include "foundation/exceptions.h"

#define CRYPTOPP_ENABLE_NAMESPACE_WEAK 1
#include <cryptopp/base64.h>
#include <cryptopp/des.h>
#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <cryptopp/md5.h>
#include <cryptopp/modes.h>
#include <cryptopp/queue.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>

using CryptoPP::BufferedTransformation;
using CryptoPP::byte;
using CryptoPP::InvalidDataFormat;

namespace {

const int PemLineLength = 64;
const int Ssh2LineLength = 72;
const std::size_t IvLength = 8;
const char ProcType[] = "Proc-Type: ";
const char DekInfo[] = "DEK-Info: ";
const char Encrypted[] = "4,ENCRYPTED";
const char DesEde3Cbc[] = "DES-EDE3-CBC,";

bool StartsWith(const std::string& text, const char* prefix) { return text.compare(0, std::strlen(prefix), prefix) == 0; }

std::string AfterPrefix(const std::string& text, const char* prefix) { return text.substr(std::strlen(prefix)); }

bool IsHexDigits(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

void WriteLine(BufferedTransformation& out, const std::string& line)
{
    SSH::PutText(out, line);
    SSH::PutChar(out, '\n');
}

}  // namespace

void PemDeriveKey(const void* passphrase, std::size_t passphraseLength, const byte salt[8], byte key[24])
{
    const auto* pass = static_cast<const byte*>(passphrase);
    CryptoPP::Weak::MD5 md5;
    byte d1[16], d2[16];
    md5.Update(pass, passphraseLength);
    md5.Update(salt, IvLength);
    md5.Final(d1);
    md5.Update(d1, sizeof d1);
    md5.Update(pass, passphraseLength);
    md5.Update(salt, IvLength);
    md5.Final(d2);
    std::memcpy(key, d1, 16);
    std::memcpy(key + 16, d2, 8);
    CryptoPP::SecureWipeArray(d1, sizeof d1);
    CryptoPP::SecureWipeArray(d2, sizeof d2);
}

void WritePemPrivateKey(BufferedTransformation& out, const std::string& keyType, CryptoPP::RandomNumberGenerator& rng,
                        const void* passphrase, std::size_t passphraseLength, const BufferedTransformation& derBody)
{
    WriteLine(out, "-----BEGIN " + keyType + " PRIVATE KEY-----");
    // PEM bodies break at 64 characters; the encoder's own default is 72.
    std::unique_ptr<CryptoPP::Base64Encoder> base64(new CryptoPP::Base64Encoder(
        new CryptoPP::Redirector(out, CryptoPP::Redirector::DATA_ONLY), true, PemLineLength));
    if (passphraseLength) {
        byte iv[IvLength];
        rng.GenerateBlock(iv, IvLength);
        std::string ivHex;
        CryptoPP::StringSource(iv, IvLength, true, new CryptoPP::HexEncoder(new CryptoPP::StringSink(ivHex), true));
        WriteLine(out, std::string(ProcType) + Encrypted);
        WriteLine(out, std::string(DekInfo) + DesEde3Cbc + ivHex);
        WriteLine(out, "");
        CryptoPP::SecByteBlock key(24);
        PemDeriveKey(passphrase, passphraseLength, iv, key);
        CryptoPP::CBC_Mode<CryptoPP::DES_EDE3>::Encryption cipher(key, key.size(), iv);
        CryptoPP::StreamTransformationFilter encrypt(cipher, base64.release());
        derBody.CopyTo(encrypt);
        encrypt.MessageEnd();
    } else {
        derBody.CopyTo(*base64);
        base64->MessageEnd();
    }
    WriteLine(out, "-----END " + keyType + " PRIVATE KEY-----");
}

std::string ReadPemPrivateKey(BufferedTransformation& in, const void* passphrase, std::size_t passphraseLength,
                              BufferedTransformation& derBody)
{
    auto readLine = [&in] { return SSH::ReadRequiredLine(in, SSH::LineDelimiter, SSH::MaxLineLength); };
    std::string line = readLine();
    while (!StartsWith(line, "-----BEGIN ")) line = readLine();
    std::string keyType = AfterPrefix(line, "-----BEGIN ");
    keyType = keyType.substr(0, keyType.find(' '));

    bool encrypted = false;
    std::string processing, encryption;
    for (;;) {
        line = SSH::TrimTrailingWhitespace(readLine());
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) continue;  // continuation
        if (line.find(": ") == std::string::npos) break;
        if (StartsWith(line, ProcType)) {
            encrypted = true;
            processing = AfterPrefix(line, ProcType);
        } else if (StartsWith(line, DekInfo)) {
            encryption = AfterPrefix(line, DekInfo);
        }
    }

    std::string ivHex;
    if (encrypted) {
        if (processing != Encrypted) throw InvalidDataFormat("unsupported processing type");
        if (!StartsWith(encryption, DesEde3Cbc)) throw InvalidDataFormat("unsupported encryption algorithm");
        ivHex = AfterPrefix(encryption, DesEde3Cbc);
        // The hex decoder would skip a non-hex character and leave the vector short.
        if (ivHex.size() != 2 * IvLength || !IsHexDigits(ivHex)) throw InvalidDataFormat("invalid initialization vector");
    }

    CryptoPP::ByteQueue body;
    CryptoPP::Base64Decoder decoder(new CryptoPP::Redirector(body));
    while (!StartsWith(line, "-----END")) {
        decoder.Put(reinterpret_cast<const byte*>(line.data()), line.size());
        line = SSH::TrimTrailingWhitespace(readLine());
    }
    decoder.MessageEnd();

    if (encrypted) {
        byte iv[IvLength];
        CryptoPP::StringSource(ivHex, true, new CryptoPP::HexDecoder(new CryptoPP::ArraySink(iv, IvLength)));
        CryptoPP::SecByteBlock key(24);
        PemDeriveKey(passphrase, passphraseLength, iv, key);
        CryptoPP::CBC_Mode<CryptoPP::DES_EDE3>::Decryption cipher(key, key.size(), iv);
        CryptoPP::StreamTransformationFilter decrypt(cipher, new CryptoPP::Redirector(derBody));
        body.TransferAllTo(decrypt);
        decrypt.MessageEnd();
    } else {
        body.TransferAllTo(derBody);
    }
    return keyType;
}

std::string SanitizeKeyComment(const std::string& comment)
{
    std::string clean;
    for (char c : comment)
        if (static_cast<signed char>(c) >= 0x20) clean += c;  // bytes of 0x80 and above are negative
    return clean;
}

void WriteSsh2PublicKeyFile(BufferedTransformation& out, const std::string& comment,
                            const BufferedTransformation& publicKeyBlob)
{
    const std::size_t foldAt = 72;
    WriteLine(out, "---- BEGIN SSH2 PUBLIC KEY ----");
    const std::string clean = SanitizeKeyComment(comment);
    if (!clean.empty()) {
        std::string header = "Comment: \"" + clean + "\"";
        while (header.size() > foldAt) {
            WriteLine(out, header.substr(0, foldAt - 1) + "\\");
            header.erase(0, foldAt - 1);
        }
        WriteLine(out, header);
    }
    CryptoPP::Base64Encoder base64(new CryptoPP::Redirector(out), true, Ssh2LineLength);
    publicKeyBlob.CopyTo(base64);
    base64.MessageEnd();
    WriteLine(out, "---- END SSH2 PUBLIC KEY ----");
}

void WriteOneLinePublicKey(BufferedTransformation& out, const std::string& algorithm, const char* comment,
                           const BufferedTransformation& publicKeyBlob)
{
    SSH::PutText(out, algorithm);
    SSH::PutChar(out, ' ');
    CryptoPP::Base64Encoder base64(new CryptoPP::Redirector(out), false);
    publicKeyBlob.CopyTo(base64);
    base64.MessageEnd();
    SSH::PutChar(out, ' ');
    WriteLine(out, SanitizeKeyComment(comment));
}

void GenerateKeyFiles(const std::string& algorithm, CryptoPP::RandomNumberGenerator& rng, unsigned int bits,
                      const std::string& comment, BufferedTransformation& ssh2PublicKeyOut,
                      BufferedTransformation& oneLinePublicKeyOut, const void* passphrase,
                      std::size_t passphraseLength, BufferedTransformation& pemPrivateKeyOut)
{
    Signer signer(rng, algorithm, bits);
    CryptoPP::ByteQueue pemBody;
    signer.EncodePemBody(pemBody);
    WritePemPrivateKey(pemPrivateKeyOut, signer.PemKeyType(), rng, passphrase, passphraseLength, pemBody);
    CryptoPP::ByteQueue publicKey;
    signer.EncodePublicKey(publicKey);
    WriteSsh2PublicKeyFile(ssh2PublicKeyOut, comment, publicKey);
    WriteOneLinePublicKey(oneLinePublicKeyOut, signer.AlgorithmName(), comment.c_str(), publicKey);
}

bool IsEncryptedPem(BufferedTransformation& in)
{
    char head[59];
    const std::size_t got = in.Peek(reinterpret_cast<byte*>(head), sizeof head);
    const std::string text(head, got);
    const std::size_t lineEnd = text.find('\n');
    return lineEnd != std::string::npos && text.compare(lineEnd + 1, std::strlen(ProcType), ProcType) == 0;
}

bool CheckPemPrivateKey(const BufferedTransformation& in, const void* passphrase, std::size_t passphraseLength)
{
    CryptoPP::ByteQueue file, body;
    in.CopyTo(file);
    std::string keyType;
    try {
        keyType = ReadPemPrivateKey(file, passphrase, passphraseLength, body);
    } catch (const CryptoPP::InvalidCiphertext&) {
        return false;  // padding that does not fit: the usual sign of a wrong passphrase
    }
    try {
        Signer key(body, keyType);
    } catch (const CryptoPP::InvalidArgument&) {
        throw InvalidDataFormat("unrecognized private key algorithm");
    } catch (...) {
        return false;
    }
    return true;
}

std::string ReadKeyFile(const std::string& path)
{
    auto failure = [&](const char* what) {
        return KeyFileError(path + ": cannot " + what + " (" + OsErrorException(GetLastError()).what() + ")");
    };
    HANDLE file = CreateFileW(Utf8ToWide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw failure("open the file");
    auto closer = MakeGuard(CloseHandle, file);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) throw failure("read the file");
    if (size.QuadPart > 1 << 20) throw KeyFileError(path + ": too large for a key file");
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!bytes.empty() && (!::ReadFile(file, &bytes[0], DWORD(bytes.size()), &got, nullptr) || got != bytes.size()))
        throw failure("read the file");
    return bytes;
}

std::unique_ptr<Signer> DecodePrivateKeyFile(const std::string& path, const std::string& text,
                                             const std::string* passphrase, const char* passphraseHint)
{
    const std::size_t begin = text.find("-----BEGIN ");
    if (begin == std::string::npos) throw KeyFileError(path + ": not a PEM private-key file");
    CryptoPP::StringSource probe(text.substr(begin), true);
    const bool encrypted = IsEncryptedPem(probe);
    if (encrypted && !passphrase)
        throw KeyFileError(path + ": the private key is encrypted; " +
                           (passphraseHint ? std::string("give its passphrase") + passphraseHint
                                           : std::string("only an unencrypted key can be used here")));
    const std::string none;
    const std::string& secret = passphrase ? *passphrase : none;
    const std::string wrongPassphrase = path + ": wrong passphrase, or the key file is damaged";
    CryptoPP::StringSource in(text, true);
    CryptoPP::ByteQueue body;
    std::string keyType;
    try {
        keyType = ReadPemPrivateKey(in, secret.data(), secret.size(), body);
    } catch (const CryptoPP::InvalidCiphertext&) {
        throw KeyFileError(wrongPassphrase);
    } catch (const CryptoPP::Exception& e) {
        // The PEM reader's own texts: "unsupported encryption algorithm", "premature end of
        // data" and the like.
        throw KeyFileError(path + ": " + e.GetWhat());
    }
    try {
        return std::unique_ptr<Signer>(new Signer(body, keyType));
    } catch (const CryptoPP::Exception& e) {
        if (keyType != "DSA" && keyType != "RSA")
            throw KeyFileError(path + ": \"" + keyType +
                               " PRIVATE KEY\" files are not supported; use a PEM file of a DSA or RSA key");
        // A wrong passphrase leaves the padding right about once in 256 tries; what it
        // decrypts to is then no key.
        if (encrypted) throw KeyFileError(wrongPassphrase);
        throw KeyFileError(path + ": not a valid " + keyType + " private key (" + e.GetWhat() + ")");
    }
}
