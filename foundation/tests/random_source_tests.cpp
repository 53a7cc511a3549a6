#include "foundation/random_source.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

std::string Text(const NoCrtString& s) { return std::string(s.c_str(), s.size()); }

std::string Errors(ErrorInfo& info) { return Text(info.Describe("\n")); }

int acquireCalls = 0;

BOOL WINAPI FailingAcquire(HCRYPTPROV* provider, LPCSTR, LPCSTR, DWORD, DWORD) {
    ++acquireCalls;
    *provider = 0;
    SetLastError(NTE_BAD_KEYSET);
    return FALSE;
}

BOOL WINAPI CountingAcquire(HCRYPTPROV* provider, LPCSTR container, LPCSTR name, DWORD type, DWORD flags) {
    ++acquireCalls;
    EXPECT_EQ(DWORD(PROV_RSA_FULL), type);
    EXPECT_EQ(DWORD(CRYPT_VERIFYCONTEXT), flags);
    return CryptAcquireContextA(provider, container, name, type, flags);
}

class RandomSourceTest : public ::testing::Test {
protected:
    void SetUp() override { acquireCalls = 0; }
    void TearDown() override { NoCrtRandom::SetAcquireFunction(nullptr); }
};

TEST_F(RandomSourceTest, ProviderIsSharedAndReleasedWithTheLastObject) {
    NoCrtRandom::SetAcquireFunction(CountingAcquire);
    unsigned char buffer[32] = {};
    {
        NoCrtRandom* first = new NoCrtRandom;
        {
            NoCrtRandom second;
            EXPECT_EQ(1, acquireCalls);
            delete first;
            ErrorInfo info;
            EXPECT_TRUE(NoCrtRandom::GenRandom(buffer, sizeof buffer, info));
            EXPECT_EQ("", Errors(info));
            EXPECT_NE(std::string(32, '\0'), std::string(buffer, buffer + 32));
        }
        ErrorInfo info;
        EXPECT_FALSE(NoCrtRandom::GenRandom(buffer, sizeof buffer, info));
        EXPECT_EQ("[Error] NoCrtRandom::GenRandom() - not initialized", Errors(info));
        // A count of 0 is refused too while nothing is held.
        info.Clear();
        EXPECT_FALSE(NoCrtRandom::GenRandom(buffer, 0, info));
        EXPECT_EQ(1u, info.errors.size());
    }
    // A new start after the last release acquires a fresh provider.
    NoCrtRandom again;
    EXPECT_EQ(2, acquireCalls);
    ErrorInfo info;
    unsigned char untouched[4] = {1, 2, 3, 4};
    EXPECT_TRUE(NoCrtRandom::GenRandom(untouched, 0, info));
    EXPECT_EQ(1, untouched[0]);
    EXPECT_EQ(4, untouched[3]);
}

TEST_F(RandomSourceTest, FailedAcquisitionThrowsAndLeavesNothingBehind) {
    NoCrtRandom::SetAcquireFunction(FailingAcquire);
    try {
        NoCrtRandom random;
        FAIL() << "no exception";
    } catch (const std::exception& e) {
        EXPECT_STREQ(
            "NoCrtRandom::Init() failed with the following error info:\n"
            "[Error] NoCrtRandom::Init() - CryptAcquireContext() failed",
            e.what());
    }
    ErrorInfo info;
    unsigned char byte;
    EXPECT_FALSE(NoCrtRandom::GenRandom(&byte, 1, info));
    EXPECT_EQ("[Error] NoCrtRandom::GenRandom() - not initialized", Errors(info));
    // The next start tries the provider again instead of counting up on nothing.
    info.Clear();
    EXPECT_FALSE(NoCrtRandom::Init(info));
    EXPECT_EQ(2, acquireCalls);
    NoCrtRandom::SetAcquireFunction(nullptr);
    NoCrtRandom random;
    info.Clear();
    EXPECT_TRUE(NoCrtRandom::GenRandom(&byte, 1, info));
}

TEST_F(RandomSourceTest, ExceptionCopiesKeepTheText) {
    NoCrtRandomException original(NoCrtString("text"));
    NoCrtRandomException copy(original);
    EXPECT_STREQ("text", copy.what());
    NoCrtString failed;
    failed.af_ = 12;
    NoCrtRandomException marked(failed);
    NoCrtRandomException markedCopy(marked);
    EXPECT_STREQ("", markedCopy.what());
    EXPECT_EQ(12, markedCopy.message.af_);
}

// How many different byte values a range holds: random bytes show many, a fill (zeros, or
// the old content left in place) shows one. 32 random bytes show fewer than 8 only by a
// chance far below one in a million.
std::size_t DistinctValues(const unsigned char* p, std::size_t n) { return std::set<unsigned char>(p, p + n).size(); }

TEST_F(RandomSourceTest, RandomWipeLeavesRandomBytesOverTheWholeCapacity)
{
    NoCrtRandom random;
    datavect<unsigned char> v;
    v.reserve(64);
    v.resize(3, 0xAA);
    for (std::uint32_t i = 3; i < 64; ++i)
        v.p_[i] = 0xAA;
    ErrorInfo info;
    EXPECT_TRUE(RandomWipe(v, info));
    EXPECT_EQ(0u, v.size());
    EXPECT_EQ(64u, v.capacity());
    EXPECT_GE(DistinctValues(v.p_, 32), 8u);
    EXPECT_GE(DistinctValues(v.p_ + 32, 32), 8u);  // past the size, up to the capacity
    const std::vector<unsigned char> first(v.p_, v.p_ + 64);
    EXPECT_TRUE(RandomWipe(v, info));
    EXPECT_NE(first, std::vector<unsigned char>(v.p_, v.p_ + 64));

    unsigned char buffer[32] = {};
    RandomWipeBuffer(buffer, sizeof buffer);
    EXPECT_GE(DistinctValues(buffer, sizeof buffer), 8u);

    datavect<unsigned char> empty;
    EXPECT_TRUE(RandomWipe(empty, info));
    EXPECT_EQ(0u, empty.capacity());
    EXPECT_EQ("", Errors(info));
}

TEST_F(RandomSourceTest, WipesFallBackToZeroBytesWithoutAProvider) {
    datavect<unsigned char> v;
    v.resize(8, 0xAA);
    ErrorInfo info;
    EXPECT_FALSE(RandomWipe(v, info));
    EXPECT_EQ("[Error] NoCrtRandom::GenRandom() - not initialized", Errors(info));
    EXPECT_EQ(0u, v.size());
    for (std::uint32_t i = 0; i < 8; ++i) EXPECT_EQ(0, v.p_[i]);

    unsigned char buffer[5] = {1, 1, 1, 1, 1};
    RandomWipeBuffer(buffer, sizeof buffer);
    for (unsigned char b : buffer) EXPECT_EQ(0, b);
}

}  // namespace
