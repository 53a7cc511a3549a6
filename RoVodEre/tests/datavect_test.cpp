#include <windows.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>
#include <gtest/gtest.h>

#include "RoVodEre/datavect.h"
#include "RoVodEre/tests/check_failure.h"

namespace {

struct WipeCall {
    const void* p;
    std::uint32_t bytes;
};
std::vector<WipeCall> g_wipes;

void RecordWipe(void* p, std::uint32_t bytes) {
    g_wipes.push_back({p, bytes});
    std::memset(p, 0xEE, bytes);
}

class DatavectTest : public ::testing::Test {
protected:
    void SetUp() override { g_wipes.clear(); }
};

void ThrowingNewHandler() { throw std::bad_alloc(); }

// Installs a new-handler that throws, as the program does at start-up.
struct ThrowingAllocations {
    std::new_handler previous;
    ThrowingAllocations() : previous(std::set_new_handler(ThrowingNewHandler)) {}
    ~ThrowingAllocations() { std::set_new_handler(previous); }
};

TEST_F(DatavectTest, PushBackGrowsToTwiceCapacityPlusTwo) {
    datavect<int> v;
    std::vector<std::uint32_t> capacities;
    for (int i = 0; i < 15; ++i) {
        ASSERT_EQ(0, v.push_back(i));
        capacities.push_back(v.capacity());
    }
    EXPECT_EQ(2u, capacities[0]);
    EXPECT_EQ(6u, capacities[2]);
    EXPECT_EQ(14u, capacities[6]);
    EXPECT_EQ(30u, capacities[14]);
    for (int i = 0; i < 15; ++i) EXPECT_EQ(i, v[i]);
}

TEST_F(DatavectTest, ReserveAndResizeGrowExactlyAndNeverShrink) {
    datavect<int> v;
    v.wipe_ = RecordWipe;
    ASSERT_EQ(0, v.reserve(5));
    EXPECT_EQ(5u, v.capacity());
    int* buffer = v.data();
    EXPECT_EQ(0, v.reserve(3));
    EXPECT_EQ(buffer, v.data());
    ASSERT_EQ(0, v.resize(4, 7));
    EXPECT_EQ(buffer, v.data());
    ASSERT_EQ(0, v.resize(2, 0));
    EXPECT_EQ(5u, v.capacity());
    EXPECT_TRUE(g_wipes.empty());
    EXPECT_EQ(7, buffer[3]);  // shrinking leaves the dropped elements in place
    ASSERT_EQ(0, v.resize(9, 1));
    EXPECT_EQ(9u, v.capacity());
    ASSERT_EQ(1u, g_wipes.size());  // the old buffer, wiped before it was freed
    EXPECT_EQ(5 * sizeof(int), g_wipes[0].bytes);
    EXPECT_EQ(7, v[0]);
    EXPECT_EQ(1, v[8]);
}

TEST_F(DatavectTest, AppendGrowsToTwiceCapacityPlusCount) {
    datavect<char> v;
    const char text[] = "abcde";
    v.append(text, text + 3);
    EXPECT_EQ(6u, v.capacity());
    v.append(text, text + 3);
    EXPECT_EQ(6u, v.capacity());
    v.append(text, text + 5);
    EXPECT_EQ(22u, v.capacity());
    EXPECT_EQ(std::string("abcabcabcde"), std::string(v.begin(), v.end()));
    // A range of the vector's own elements survives the move of the buffer.
    v.append(v.begin(), v.begin() + 11);
    EXPECT_EQ(std::string("abcabcabcdeabcabcabcde"), std::string(v.begin(), v.end()));
}

TEST_F(DatavectTest, ReserveMoreGrowsLikeAppendOnlyWhenShort) {
    datavect<int> v;
    ASSERT_EQ(0, v.reserve_more(3));
    EXPECT_EQ(6u, v.capacity());
    ASSERT_EQ(0, v.resize(5, 0));
    ASSERT_EQ(0, v.reserve_more(1));  // 5 + 1 fit
    EXPECT_EQ(6u, v.capacity());
    ASSERT_EQ(0, v.reserve_more(2));
    EXPECT_EQ(16u, v.capacity());
    EXPECT_EQ(5u, v.size());
}

TEST_F(DatavectTest, EraseWipesExactlyTheVacatedTail) {
    datavect<std::uint16_t> v;
    for (std::uint16_t i = 0; i < 6; ++i) v.push_back(i);
    v.wipe_ = RecordWipe;

    EXPECT_EQ(v.begin() + 1, v.erase(v.begin() + 1));
    ASSERT_EQ(1u, g_wipes.size());
    EXPECT_EQ(v.begin() + 5, g_wipes[0].p);
    EXPECT_EQ(2u, g_wipes[0].bytes);
    EXPECT_EQ(5u, v.size());
    EXPECT_EQ(2, v[1]);

    v.erase(v.size(), 0xFFFFFFFFu);  // at the end: nothing to erase, nothing wiped
    EXPECT_EQ(1u, g_wipes.size());
    v.erase(2, 0xFFFFFFFFu);  // all bits set: up to the end
    EXPECT_EQ(2u, v.size());
    ASSERT_EQ(2u, g_wipes.size());
    EXPECT_EQ(v.begin() + 2, g_wipes[1].p);
    EXPECT_EQ(6u, g_wipes[1].bytes);
}

TEST_F(DatavectTest, InsertRangesCopiesAndOwnElements) {
    datavect<int> v;
    int* none = nullptr;
    EXPECT_EQ(nullptr, v.insert(v.begin(), none, none));  // empty range: no buffer needed
    EXPECT_EQ(0u, v.capacity());

    const int values[] = {1, 2, 5};
    v.insert(v.begin(), values, values + 3);
    int* at = v.insert(v.begin() + 2, 2, 9);
    EXPECT_EQ(v.begin() + 2, at);
    EXPECT_EQ(5u, v.capacity());  // grows to exactly the new size
    v.insert(v.end(), 7);
    // Own elements on both sides of the gap.
    v.insert(v.begin() + 1, v.begin(), v.begin() + 3);
    const int expected[] = {1, 1, 2, 9, 2, 9, 9, 5, 7};
    ASSERT_EQ(9u, v.size());
    for (std::uint32_t i = 0; i < 9; ++i) EXPECT_EQ(expected[i], v[i]) << i;
}

TEST_F(DatavectTest, AssignmentReplacesBufferAndCallback) {
    datavect<char> source;
    const char text[] = "xyz";
    source.append(text, text + 3);
    source.reserve(10);
    source.wipe_ = RecordWipe;

    datavect<char> target;
    target.push_back('a');
    target = source;
    EXPECT_EQ(3u, target.capacity());
    EXPECT_EQ(RecordWipe, target.wipe_);
    EXPECT_EQ('z', target[2]);

    // An empty source empties the target through its own callback, which it keeps.
    char* old = target.data();
    datavect<char> empty;
    target = empty;
    ASSERT_EQ(1u, g_wipes.size());
    EXPECT_EQ(old, g_wipes[0].p);
    EXPECT_EQ(3u, g_wipes[0].bytes);
    EXPECT_EQ(nullptr, target.data());
    EXPECT_EQ(0u, target.capacity());
    EXPECT_EQ(RecordWipe, target.wipe_);

    source = source;
    EXPECT_EQ(3u, source.size());

    datavect<char> marked;
    marked.af_ = 12;
    source = marked;
    EXPECT_EQ(12, source.af_);
    EXPECT_EQ(3u, source.s_);  // only the mark is taken
}

TEST_F(DatavectTest, WipeAndResizeOverwritesWholeCapacity) {
    datavect<unsigned char> v;
    v.resize(4, 0xAB);
    v.reserve(8);
    v.wipe_and_resize(2);
    EXPECT_EQ(2u, v.size());
    for (std::uint32_t i = 0; i < 8; ++i) EXPECT_EQ(0, v.p_[i]) << i;

    v.wipe_ = RecordWipe;
    v.wipe_and_resize(0);
    ASSERT_EQ(1u, g_wipes.size());
    EXPECT_EQ(8u, g_wipes[0].bytes);
    EXPECT_EQ(0u, v.size());
}

TEST_F(DatavectTest, DestructionWipesOnlyAnAllocatedBuffer) {
    {
        datavect<int> never;
        never.wipe_ = RecordWipe;
    }
    EXPECT_TRUE(g_wipes.empty());
    {
        datavect<int> v(3);
        v.wipe_ = RecordWipe;
    }
    ASSERT_EQ(1u, g_wipes.size());
    EXPECT_EQ(3 * sizeof(int), g_wipes[0].bytes);
}

// Sizes that would wrap a 32-bit count or byte size are failed allocations: the mark is
// set, nothing is written and the old contents stay.
TEST_F(DatavectTest, OversizedRequestsFailInsteadOfWrapping) {
    datavect<std::uint64_t> a;
    EXPECT_EQ(INT_MAX, a.reserve(0x100000000ull));
    EXPECT_EQ(INT_MAX, a.af_);

    datavect<std::uint64_t> b;
    EXPECT_NE(0, b.resize(0x20000001u));  // byte size wraps in 32 bits
    EXPECT_EQ(nullptr, b.p_);

    datavect<int> c;
    c.push_back(1);
    EXPECT_EQ(nullptr, c.insert(c.begin(), 0xFFFFFFFFu, 5));
    EXPECT_NE(0, c.af_);
    EXPECT_EQ(1, c.p_[0]);
    EXPECT_EQ(1u, c.s_);

    // Capacities near the 32-bit limit: the growth arithmetic must not wrap to a small
    // buffer. The buffer is real; only the recorded capacity is inflated.
    char buffer[8] = "1234567";
    datavect<char> d;
    d.p_ = buffer;
    d.s_ = d.cap_ = 0x80000000u;
    EXPECT_NE(0, d.push_back('x'));
    datavect<char> e;
    e.p_ = buffer;
    e.s_ = e.cap_ = 0xF0000000u;
    const char many[4] = {'a', 'b', 'c', 'd'};
    e.append(many, many + 4);
    EXPECT_NE(0, e.af_);
    EXPECT_EQ(std::string("1234567"), buffer);
    d.p_ = e.p_ = nullptr;
    d.s_ = d.cap_ = e.s_ = e.cap_ = 0;
}

TEST_F(DatavectTest, ThrowingHandlerLeavesVectorUnchanged) {
    datavect<int> v;
    v.push_back(4);
    {
        ThrowingAllocations throwing;
        EXPECT_THROW(v.reserve(0x80000000u), std::bad_alloc);
        EXPECT_THROW(v.resize(0xFFFFFFFFu, 0), std::bad_alloc);
    }
    EXPECT_EQ(0, v.af_);
    EXPECT_EQ(1u, v.size());
    EXPECT_EQ(4, v[0]);
}

TEST_F(DatavectTest, CryptoppStringSinkAppendsIntoByteVector) {
    datavect<unsigned char> out;
    CryptoPP::StringSource source(std::string("\x01\xab\xff"), true,
                                  new CryptoPP::HexEncoder(new CryptoPP::StringSinkTemplate<datavect<unsigned char>>(out), false));
    EXPECT_EQ(std::string("01abff"), std::string(out.begin(), out.end()));
}

// Every check: the failure message names the module, the process, the header, the line
// and the check's text, and the calling thread ends with 0x8805.
TEST_F(DatavectTest, FailedChecksReportLineAndTextAndEndThread) {
    struct Case {
        const char* name;
        std::function<void(datavect<int>&)> call;
        unsigned line;
        const char* text;
        bool marked;
    };
    const Case cases[] = {
        {"operator[] at size", [](datavect<int>& v) { v[3]; }, 298, "!af_ && i<s_", false},
        {"const operator[]", [](datavect<int>& v) { static_cast<const datavect<int>&>(v)[3]; }, 297, "!af_ && i<s_", false},
        {"at", [](datavect<int>& v) { v.at(7); }, 301, "!af_ && i<s_", false},
        {"const at", [](datavect<int>& v) { static_cast<const datavect<int>&>(v).at(3); }, 300, "!af_ && i<s_", false},
        {"back of empty", [](datavect<int>& v) { v.resize(0); v.back(); }, 298, "!af_ && i<s_", false},
        {"pop_back of empty", [](datavect<int>& v) { v.resize(0); v.pop_back(); }, 189, "!af_ && s_", false},
        {"insert outside", [](datavect<int>& v) { v.insert(v.begin() + 4, 1); }, 215, "(where >= p_) && (where <= p_ + s_)", false},
        {"insert reversed range", [](datavect<int>& v) { v.insert(v.begin(), v.end(), v.begin()); }, 218, "count >= 0", false},
        {"erase start outside", [](datavect<int>& v) { v.erase(v.begin() + 4, v.begin() + 4); }, 255, "(p1 >= p_) && (p1 <= p_ + s_)", false},
        {"erase reversed", [](datavect<int>& v) { v.erase(v.begin() + 2, v.begin() + 1); }, 256, "(p2 >= p1) && (p2 <= p_ + s_)", false},
        {"erase pos past size", [](datavect<int>& v) { v.erase(4u, 0u); }, 275, "pos <= s_", false},
        {"erase count past size", [](datavect<int>& v) { v.erase(1u, 3u); }, 278, "pos + count <= s_", false},
        {"erase count wrapping", [](datavect<int>& v) { v.erase(2u, 0xFFFFFFFEu); }, 278, "pos + count <= s_", false},
        {"marked reserve", [](datavect<int>& v) { v.reserve(1); }, 100, "!af_", true},
        {"marked reserve_more", [](datavect<int>& v) { v.reserve_more(1); }, 100, "!af_", true},
        {"marked resize", [](datavect<int>& v) { v.resize(1); }, 121, "!af_", true},
        {"marked append", [](datavect<int>& v) { int x = 0; v.append(&x, &x); }, 175, "!af_", true},
        {"marked push_back", [](datavect<int>& v) { v.push_back(1); }, 193, "!af_", true},
        {"marked insert", [](datavect<int>& v) { v.insert(v.p_, 1); }, 214, "!af_", true},
        {"marked erase", [](datavect<int>& v) { v.erase(v.p_, v.p_); }, 254, "!af_", true},
        {"marked erase count", [](datavect<int>& v) { v.erase(0u, 0u); }, 274, "!af_", true},
        {"marked data", [](datavect<int>& v) { v.data(); }, 284, "!af_", true},
        {"marked const data", [](datavect<int>& v) { static_cast<const datavect<int>&>(v).data(); }, 286, "!af_", true},
        {"marked begin", [](datavect<int>& v) { v.begin(); }, 287, "!af_", true},
        {"marked end", [](datavect<int>& v) { v.end(); }, 290, "!af_", true},
        {"marked size", [](datavect<int>& v) { v.size(); }, 292, "!af_", true},
        {"marked empty", [](datavect<int>& v) { v.empty(); }, 293, "!af_", true},
        {"marked capacity", [](datavect<int>& v) { v.capacity(); }, 295, "!af_", true},
        {"marked index", [](datavect<int>& v) { v[0]; }, 298, "!af_ && i<s_", true},
    };
    char module[MAX_PATH] = {0};
    GetModuleFileNameA(NULL, module, MAX_PATH);
    const std::string head = "Assertion failed in module '" + std::string(module).substr(0, 100) + "', PID " +
                             std::to_string(GetCurrentProcessId()) + ", source file '";
    for (const Case& c : cases) {
        datavect<int> v(3);
        if (c.marked) v.af_ = 40;
        CheckFailure failure = RunExpectingCheckFailure([&] { c.call(v); });
        EXPECT_EQ(0x8805u, failure.exitCode) << c.name;
        EXPECT_EQ(0u, failure.message.find(head)) << c.name << ": " << failure.message;
        EXPECT_NE(std::string::npos, failure.message.find("datavect.h', line")) << c.name;
        EXPECT_NE(std::string::npos, failure.message.find(LineAndText(c.line, c.text))) << c.name << ": " << failure.message;
        EXPECT_NE(std::string::npos, failure.message.find("\r\nThe asserting thread will be terminated.")) << c.name;
        v.af_ = 0;
    }
}

TEST_F(DatavectTest, LongCheckTextsStillEndTheMessage) {
    const std::string longPath(2000, 'p'), longText(2000, 't');
    CheckFailure failure = RunExpectingCheckFailure([&] { NoCrtAssertFailed(longText.c_str(), longPath.c_str(), 7); });
    EXPECT_EQ(0x8805u, failure.exitCode);
    EXPECT_LT(failure.message.size(), 1024u);
    const std::string tail = "\r\nThe asserting thread will be terminated.";
    ASSERT_GE(failure.message.size(), tail.size());
    EXPECT_EQ(tail, failure.message.substr(failure.message.size() - tail.size()));
}

DWORD WINAPI FailCheckDirectly(LPVOID) { NoCrtAssertFailed("x < y", "some\\file.h", 12); }

TEST_F(DatavectTest, CheckHandlerWritesStandardErrorShowsMessageBoxAndEndsThread) {
    if (std::getenv("DISPLAY")) GTEST_SKIP() << "a display would show the message box and wait";
    // The product's own reporter, in place of the test programs' one that ends the program,
    // with standard error going into a pipe.
    HANDLE readEnd = NULL, writeEnd = NULL;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, NULL, 64 * 1024));
    const HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, writeEnd);
    const AssertionReporter testReporter = SetAssertionReporter(nullptr);
    DWORD code = 0;
    HANDLE thread = CreateThread(NULL, 0, FailCheckDirectly, NULL, 0, NULL);
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        GetExitCodeThread(thread, &code);
        CloseHandle(thread);
    }
    SetAssertionReporter(testReporter);
    SetStdHandle(STD_ERROR_HANDLE, standardError);
    std::string written;
    DWORD available = 0;
    if (PeekNamedPipe(readEnd, NULL, 0, NULL, &available, NULL) && available > 0) {
        written.resize(available);
        DWORD count = 0;
        if (ReadFile(readEnd, &written[0], available, &count, NULL)) written.resize(count);
    }
    CloseHandle(writeEnd);
    CloseHandle(readEnd);
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(0x8805u, code);
    const std::string expected = "source file 'some\\file.h', line 12:\r\nx < y\r\nThe asserting thread will be terminated.\r\n";
    EXPECT_EQ(0u, written.find("Assertion failed in module '")) << written;
    ASSERT_GE(written.size(), expected.size()) << written;
    EXPECT_EQ(expected, written.substr(written.size() - expected.size()));
}

}  // namespace
