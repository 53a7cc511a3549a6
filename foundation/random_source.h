// The process's one source of cryptographic random bytes: a verify-context CryptoAPI
// provider shared by every user, acquired by the first NoCrtRandom and released by the
// last. main keeps one object alive for the whole run; everyone else calls GenRandom.
#pragma once

#include "RoVodEre/ErrorInfo.h"
#include "RoVodEre/NoCrtString.h"
#include "RoVodEre/datavect.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdint>
#include <exception>

class NoCrtRandomException : public std::exception {
public:
    explicit NoCrtRandomException(const NoCrtString& text);
    // Copies the text, or only its failure mark when it has one.
    NoCrtRandomException(const NoCrtRandomException& src);
    NoCrtRandomException& operator=(const NoCrtRandomException&) = delete;
    ~NoCrtRandomException() override {}

    // "" when the text is empty or its allocation failed.
    const char* what() const noexcept override;

    NoCrtString message;
};

class NoCrtRandom : public virtual ObjectBase {
public:
    // Joins the shared provider; throws NoCrtRandomException when it cannot be acquired.
    NoCrtRandom();
    ~NoCrtRandom() override;
    NoCrtRandom(const NoCrtRandom&) = delete;
    NoCrtRandom& operator=(const NoCrtRandom&) = delete;

    // Counts one more user, acquiring the provider for the first. A failed acquisition adds
    // its text to info.errors and leaves no state behind, so the next Init tries again.
    static bool Init(ErrorInfo& info);
    // Counts one user less; the last one releases the provider.
    static void Uninit();
    // Fills count bytes at buffer. False, with a text in info.errors, when no provider is
    // held or the provider fails.
    static bool GenRandom(unsigned char* buffer, std::uint32_t count, ErrorInfo& info);

    // Test seam: replaces the acquisition call (default CryptAcquireContextA). Returns the
    // previous one.
    typedef BOOL(WINAPI* AcquireFunction)(HCRYPTPROV*, LPCSTR, LPCSTR, DWORD, DWORD);
    static AcquireFunction SetAcquireFunction(AcquireFunction acquire);

private:
    ErrorInfo initInfo;
};

// Overwrites the whole capacity of v with random bytes (zero bytes when that fails), then
// empties v keeping its buffer. Returns what GenRandom returned; its text is then in info.
bool RandomWipe(datavect<unsigned char>& v, ErrorInfo& info);

// The wipe callback of buffers that held secrets: random bytes, else zero bytes.
void RandomWipeBuffer(void* p, std::uint32_t bytes);
