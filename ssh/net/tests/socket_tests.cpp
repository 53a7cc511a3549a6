#include "ssh/net/network_address.h"
#include "ssh/net/socket.h"
#include "ssh/net/tests/winsock_environment.h"
#include "ssh/net/wait_objects.h"

#include <gtest/gtest.h>

#include <vector>

#include <string>

using CryptoPP::byte;
using CryptoPP::CallStack;
using CryptoPP::WaitObjectContainer;

namespace {

::testing::Environment* const winsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

std::string ReadAll(Socket& s, size_t count) {
    std::string text;
    byte buffer[256];
    while (text.size() < count) {
        long n = s.Receive(buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
    }
    return text;
}

TEST(WaitObjectContainer, NoWaitScheduleHandlesAndTimeout) {
    WaitObjectContainer c;
    CallStack outer("outer", nullptr);
    c.SetNoWait(CallStack("inner", &outer));
    EXPECT_TRUE(c.Wait(INFINITE));
    EXPECT_EQ(c.NoWaitReason(), "inner / outer");

    c.Clear();
    c.ScheduleEvent(50, outer);
    // The performance counter, not GetTickCount: Wine advances the tick count in steps of
    // about 16 ms, which can make a 50 ms sleep look like 38.
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    EXPECT_TRUE(c.Wait(INFINITE));
    QueryPerformanceCounter(&end);
    EXPECT_GE((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart, 45);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    c.Clear();
    c.AddHandle(event, CallStack("event", &outer));
    EXPECT_FALSE(c.Wait(10));
    SetEvent(event);
    EXPECT_TRUE(c.Wait(INFINITE));
    EXPECT_EQ(c.HandleReasons(), std::vector<std::string>{"event / outer"});

    // The same handle twice is one wait object; more distinct handles than one wait covers fail.
    c.AddHandle(event, outer);
    EXPECT_EQ(c.Handles().size(), 1u);
    std::vector<HANDLE> more;
    for (size_t i = 0; i < WaitObjectContainer::kMaxHandles; ++i) {
        more.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        c.AddHandle(more.back(), outer);
    }
    EXPECT_THROW(c.Wait(0), CryptoPP::Exception);
    for (HANDLE h : more) CloseHandle(h);
    CloseHandle(event);
}

// A loop that never waits is reported to the tracer once per run of passes, with the reason
// of the object that keeps it busy; a real wait starts the count again.
TEST(WaitObjectContainer, ABusyLoopIsTraced) {
    struct Tracer : CryptoPP::WaitObjectsTracer {
        void TraceNoWaitLoop(const std::string& text) override { lines.push_back(text); }
        std::vector<std::string> lines;
    } tracer;
    WaitObjectContainer c(&tracer);
    const CallStack busy("busy object", nullptr);
    for (unsigned long i = 0; i < 2 * WaitObjectContainer::kNoWaitLoopPasses - 1; ++i) {
        c.Clear();
        c.SetNoWait(busy);
        c.Wait(INFINITE);
    }
    ASSERT_EQ(tracer.lines.size(), 1u);
    EXPECT_EQ(tracer.lines[0], "no wait for 10000 passes: busy object");
    c.Clear();
    c.Wait(1);
    for (unsigned long i = 0; i < WaitObjectContainer::kNoWaitLoopPasses - 1; ++i) {
        c.Clear();
        c.ScheduleEvent(0, busy);
        c.Wait(INFINITE);
    }
    EXPECT_EQ(tracer.lines.size(), 1u);
}

TEST(SocketSink, BlockedPutIsRepeatedWithTheSameBytes) {
    Pair pair;
    SocketSink sink(4);
    sink.AccessSocket().ShareWith(pair.client);
    const std::string data = "0123456789";
    const byte* bytes = reinterpret_cast<const byte*>(data.data());
    int puts = 0;
    while (sink.Put2(bytes, data.size(), 0, false) != 0) {
        ASSERT_LT(++puts, 1000);
        sink.TimedFlush(0);
    }
    while (sink.BufferedBytes()) sink.TimedFlush(INFINITE);
    EXPECT_EQ(ReadAll(pair.server, data.size()), data);
}

TEST(SocketSource, ReceivesIntoItsQueueAndSeesTheEnd) {
    Pair pair;
    SocketSource source;
    source.AccessSocket().AttachSocket(pair.server.DetachSocket(), true);

    // Nothing yet: the source waits on its network event.
    CryptoPP::lword moved = CryptoPP::LWORD_MAX;
    source.GeneralPump2(moved, true, 0);
    EXPECT_EQ(moved, 0u);
    WaitObjectContainer c;
    source.GetWaitObjects(c, CallStack("test", nullptr));
    EXPECT_FALSE(c.NoWait());
    ASSERT_EQ(c.Handles().size(), 1u);

    const byte hello[] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(pair.client.Send(hello, 5), 5u);
    EXPECT_TRUE(c.Wait(5000));
    moved = CryptoPP::LWORD_MAX;
    source.GeneralPump2(moved, true, 5000);
    EXPECT_EQ(moved, 5u);
    EXPECT_EQ(source.AttachedTransformation()->MaxRetrievable(), 5u);
    EXPECT_FALSE(source.SourceExhausted());

    pair.client.CloseSocket();
    for (int tries = 0; !source.EofReceived() && tries < 100; ++tries) {
        moved = CryptoPP::LWORD_MAX;
        source.GeneralPump2(moved, true, 50);
    }
    EXPECT_TRUE(source.SourceExhausted());
    c.Clear();
    source.GetWaitObjects(c, CallStack("test", nullptr));
    EXPECT_TRUE(c.Handles().empty());
    EXPECT_FALSE(c.NoWait());
}

}  // namespace
