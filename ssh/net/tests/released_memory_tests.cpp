// Proxy credentials must not outlive their use in memory the program gives back. This program
// replaces the global operator delete so that, while a test watches, every block released is
// searched for the secret before it is freed.
#include "ssh/net/connecting_socket.h"
#include "ssh/net/tests/winsock_environment.h"

#include "foundation/crypt_block.h"
#include "foundation/random_source.h"

#include <cryptopp/base64.h>
#include <cryptopp/filters.h>

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

// What the watch looks for; set and read only on the test's thread, never allocating.
struct Watch {
    const char* secret = nullptr;
    std::size_t length = 0;
    int releasedWithSecret = 0;
} watch;

bool Holds(const void* block, std::size_t size, const char* secret, std::size_t length) {
    const char* bytes = static_cast<const char*>(block);
    for (std::size_t i = 0; i + length <= size; ++i)
        if (std::memcmp(bytes + i, secret, length) == 0) return true;
    return false;
}

}  // namespace

void operator delete(void* p) noexcept {
    if (p && watch.secret && Holds(p, _msize(p), watch.secret, watch.length)) ++watch.releasedWithSecret;
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

::testing::Environment* const winsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

class TestPassword : public CryptBlock {
public:
    const unsigned char* GetCipherKey() const override { return kKeys; }
    const unsigned char* GetMacKey() const override { return kKeys + 16; }

private:
    static const unsigned char kKeys[32];
};
const unsigned char TestPassword::kKeys[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                               17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

std::string Base64(const std::string& text) {
    std::string out;
    CryptoPP::StringSource(text, true, new CryptoPP::Base64Encoder(new CryptoPP::StringSink(out), false));
    return out;
}

// An HTTP CONNECT request with Basic credentials longer than the request's first reserve: the
// request buffer grows while the credentials are written into it, and no buffer it leaves
// behind may hold them.
TEST(ReleasedMemory, HttpCredentialsAreWipedFromEveryRequestBuffer) {
    NoCrtRandom random;
    Listener proxy;
    NetworkAddress proxyAddress;
    proxyAddress.SetFromSockAddr(proxy.address);

    const std::string user(600, 'u');
    const std::string passwordText = "pw-" + std::string(400, 'p');
    TestPassword password;
    password.plaintext.append(passwordText.begin(), passwordText.end());
    ErrorInfo info;
    ASSERT_TRUE(password.SetCryptFromPlain(info));
    // Any run of the encoded credentials, or of the password itself, counts.
    const std::string encoded = Base64(user + ":" + passwordText);
    ASSERT_GT(encoded.size(), 1024u);
    const std::string secrets[] = {encoded.substr(encoded.size() / 2, 48), passwordText.substr(0, 48)};

    // Made before the watch starts: the test's own copies of the secret are not the point.
    const std::string header = "Proxy-Authorization: Basic " + encoded + "\r\n";
    static char request[8192];
    for (const std::string& secret : secrets) {
        SCOPED_TRACE(&secret == secrets ? "encoded credentials" : "password");
        std::size_t received = 0;
        watch = Watch{secret.data(), secret.size(), 0};
        {
            ConnectingSocket s;
            NetworkAddress target;
            target.Set("10.1.2.3", 22);
            s.SetTarget(target);
            s.SetProxy(ConnectingSocket::PROXY_HTTP, proxyAddress, user, &password);
            bool done = s.StartConnect();
            for (int round = 0; !done && s.GetState() != ConnectingSocket::NEGOTIATING && round < 100; ++round) {
                CryptoPP::WaitObjectContainer container;
                s.GetWaitObjects(container, CryptoPP::CallStack("test", nullptr));
                container.Wait(100);
                done = s.Pump();
            }
            ASSERT_FALSE(done) << s.GetErrorDesc();
            Socket accepted;
            ASSERT_TRUE(proxy.socket.Accept(accepted, nullptr, nullptr));
            u_long nonBlocking = 1;
            ioctlsocket(accepted.GetSocket(), FIONBIO, &nonBlocking);
            // The request goes out whole; the proxy's answer is then awaited.
            for (int round = 0; round < 200; ++round) {
                done = s.Pump();
                ASSERT_FALSE(done) << s.GetErrorDesc();
                const int got = recv(accepted.GetSocket(), request + received, int(sizeof request - received), 0);
                if (got > 0) received += std::size_t(got);
                if (received >= 4 && std::memcmp(request + received - 4, "\r\n\r\n", 4) == 0) break;
                if (got <= 0) Sleep(10);
            }
        }
        const int found = watch.releasedWithSecret;
        watch = Watch();
        EXPECT_EQ(found, 0);
        EXPECT_NE(std::string(request, received).find(header), std::string::npos);
    }
}

}  // namespace
