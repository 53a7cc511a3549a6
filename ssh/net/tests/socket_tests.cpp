#include "ssh/net/network_address.h"
#include "ssh/net/socket.h"
#include "ssh/net/tests/winsock_environment.h"
#include "ssh/net/wait_objects.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

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

    // The same handle twice is one wait object.
    c.AddHandle(event, outer);
    EXPECT_EQ(c.Handles().size(), 1u);
    CloseHandle(event);
}

// Events for the tests, closed at the end of the test.
struct Events {
    std::vector<HANDLE> handles;
    explicit Events(size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            handles.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    }
    ~Events()
    {
        for (HANDLE h : handles)
            CloseHandle(h);
    }
};

// One wait covers 64 groups of 63 handles: a handle signalled in any group ends it, in the
// calling thread's group, a helper's, or the last place there is; the wait tells each holder
// of a state whether its handle was signalled, also when it did not wait at all. Repeated
// waits reuse the helpers, and the next handle past the limit makes the wait fail.
TEST(WaitObjectContainer, WaitsOnFullGroupsAndTellsWhichHandlesWereSignalled)
{
    const size_t limit = WaitObjectContainer::kMaxHandles;
    EXPECT_EQ(limit, 4032u);
    Events events(limit + 1);
    std::vector<CryptoPP::HandleState> states(limit, CryptoPP::HandleState::Unknown);
    WaitObjectContainer c;
    const CallStack test("test", nullptr);
    auto fill = [&](size_t count, bool noWait) {
        c.Clear();
        if (noWait)
            c.SetNoWait(test);
        for (size_t i = 0; i < count; ++i)
            c.AddHandle(events.handles[i], test, &states[i]);
    };
    auto signalledOnes = [&](size_t count) {
        std::vector<size_t> found;
        for (size_t i = 0; i < count; ++i) {
            EXPECT_NE(states[i], CryptoPP::HandleState::Unknown) << i;
            if (states[i] == CryptoPP::HandleState::Signalled)
                found.push_back(i);
        }
        return found;
    };
    // How a case waits: for a while (at once when something is signalled), not at all, or not
    // at all because some object has asked for no wait.
    enum Mode { Waits, Looks, NoWait };
    const struct {
        size_t count;
        std::vector<size_t> signalled;
        Mode mode;
    } cases[] = {
        {64, {}, Waits},     {64, {63}, Waits},          {65, {64}, Waits},           {limit, {}, Waits},
        {limit, {0}, Waits}, {limit, {62, 63}, Waits},   {limit, {limit - 1}, Waits}, {limit, {1000, 4000}, Waits},
        {limit, {}, Looks},  {limit, {70, 4031}, Looks}, {limit, {}, NoWait},         {limit, {5, 3000}, NoWait},
    };
    for (const auto& test_case : cases) {
        SCOPED_TRACE(::testing::Message() << test_case.count << " handles, " << test_case.signalled.size()
                                          << " signalled, mode " << test_case.mode);
        for (size_t i : test_case.signalled)
            SetEvent(events.handles[i]);
        fill(test_case.count, test_case.mode == NoWait);
        std::fill(states.begin(), states.end(), CryptoPP::HandleState::Unknown);
        const unsigned long timeout = test_case.mode == Looks ? 0 : test_case.signalled.empty() ? 20 : INFINITE;
        EXPECT_EQ(c.Wait(timeout), test_case.mode == NoWait || !test_case.signalled.empty());
        EXPECT_EQ(signalledOnes(test_case.count), test_case.signalled);
        for (size_t i : test_case.signalled)
            ResetEvent(events.handles[i]);
    }

    // The wait does end when a handle of a helper's group is signalled during it.
    fill(limit, false);
    HANDLE late = events.handles[limit - 2];
    std::thread signaller([late] {
        Sleep(50);
        SetEvent(late);
    });
    EXPECT_TRUE(c.Wait(10000));
    signaller.join();
    EXPECT_EQ(signalledOnes(limit), std::vector<size_t>{limit - 2});

    c.AddHandle(events.handles[limit], test);
    EXPECT_THROW(c.Wait(0), CryptoPP::Exception);
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

// A put takes whatever the socket takes, however small the buffer; it is blocked only once
// the socket takes nothing, and while bytes wait the sink is always waited on. Repeated with
// the same bytes it skips those it took, and its message end shuts our side down after the
// last byte.
TEST(SocketSink, PutsBlockOnlyOnTheSocketAndEndWithAShutDown) {
    Pair pair;
    const int small = 4096;
    setsockopt(pair.client.GetSocket(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
    setsockopt(pair.server.GetSocket(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
    SocketSink sink(4);
    sink.AccessSocket().ShareWith(pair.client);

    std::string chunk(1000, '\0');
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 13);
    const byte* bytes = reinterpret_cast<const byte*>(chunk.data());
    std::string expected;
    size_t left = 0;
    for (int puts = 0; puts < 100000 && left == 0; ++puts) {
        left = sink.Put2(bytes, chunk.size(), 0, false);
        expected += chunk;
    }
    ASSERT_NE(left, 0u);
    EXPECT_GT(expected.size(), 4 * chunk.size());  // far beyond the sink's buffer
    WaitObjectContainer c;
    sink.GetWaitObjects(c, CallStack("test", nullptr));
    EXPECT_TRUE(c.NoWait() || c.Handles().size() == 1u);

    // The blocked put is repeated with the end of stream until the socket has taken it all.
    std::string received;
    byte buffer[4096];
    while (sink.Put2(bytes, chunk.size(), 1, false) != 0) {
        ASSERT_FALSE(sink.Drained());  // blocked only with bytes left to write
        long n = pair.server.Receive(buffer, sizeof buffer);
        ASSERT_GT(n, 0);
        received.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
    }
    ASSERT_TRUE(sink.Drained());
    for (long n; (n = pair.server.Receive(buffer, sizeof buffer)) > 0;)
        received.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(n));
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
}

// A source and a sink sharing the client end of a pair whose buffers are small, so that the
// sink soon blocks while the server end reads nothing.
struct Relay {
    explicit Relay(size_t sinkBound) : sink(sinkBound)
    {
        const int small = 4096;
        setsockopt(pair.client.GetSocket(), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
        setsockopt(pair.server.GetSocket(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&small), sizeof small);
        source.AccessSocket().AttachSocket(pair.client.DetachSocket(), true);
        sink.ShareSocketOf(source);
    }
    void FillUntilBlocked()
    {
        const std::string chunk(1000, 'c');
        for (int puts = 0;
             puts < 100000 && sink.Put2(reinterpret_cast<const byte*>(chunk.data()), chunk.size(), 0, false) == 0;
             ++puts) {
        }
    }
    Pair pair;
    SocketSource source;
    SocketSink sink;
};

// The source and the sink of one connection wait on one event. When the sink waits for room
// and the source then collects the sink's event while asking for its own, the wait still ends.
TEST(SocketSink, AWaitForRoomEndsAlsoWhenTheSourceCollectedTheEvent) {
    Relay relay(1024);
    Pair& pair = relay.pair;
    SocketSource& source = relay.source;
    SocketSink& sink = relay.sink;
    CryptoPP::lword none = 0;
    source.GeneralPump2(none, true, 0);
    CryptoPP::lword moved = CryptoPP::LWORD_MAX;
    source.GeneralPump2(moved, true, 0);  // nothing to read: the source waits too

    relay.FillUntilBlocked();
    WaitObjectContainer c;
    sink.GetWaitObjects(c, CallStack("sink", nullptr));
    if (c.NoWait()) {  // room came at once; nothing left to show
        GTEST_SKIP() << "the socket took the bytes before the sink waited";
    }
    ASSERT_EQ(c.Handles().size(), 1u);

    // Room comes, and the source collects the event before anyone waits.
    byte buffer[4096];
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(pair.server.GetSocket(), &readable);
        timeval quiet = {0, 200000};
        if (select(0, &readable, nullptr, nullptr, &quiet) != 1) break;
        ASSERT_GT(pair.server.Receive(buffer, sizeof buffer), 0);
    }
    source.GetWaitObjects(c, CallStack("source", nullptr));
    EXPECT_TRUE(c.Wait(2000));
}

// A relay that has no room for more input leaves its source alone and waits for room to write;
// while it waits, the sink collects the arrival of bytes for the source. Once the relay has room
// again, those bytes are read, though the wait that followed found nothing new.
TEST(SocketSource, ReadsWhatTheSinkCollectedWhileWaitingForRoom)
{
    Relay relay(1 << 20);  // the sink holds far more than the connection holds in flight
    Pair& pair = relay.pair;
    SocketSource& source = relay.source;
    SocketSink& sink = relay.sink;
    CryptoPP::lword moved = CryptoPP::LWORD_MAX;
    source.GeneralPump2(moved, true, 0);  // nothing to read yet
    ASSERT_EQ(moved, 0u);
    relay.FillUntilBlocked();
    ASSERT_FALSE(sink.Drained());

    const byte hello[] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(pair.server.Send(hello, sizeof hello), sizeof hello);
    Sleep(100);
    // Passes without room: only the sink takes part, flushing and waiting.
    for (int pass = 0; pass < 3; ++pass) {
        WaitObjectContainer c;
        sink.GetWaitObjects(c, CallStack("sink", nullptr));
        c.Wait(50);
        sink.Flush(false, -1, false);
    }
    ASSERT_FALSE(sink.Drained());  // the peer still reads nothing

    // Passes with room: the source is pumped as well.
    for (int pass = 0; pass < 10 && source.AttachedTransformation()->MaxRetrievable() == 0; ++pass) {
        WaitObjectContainer c;
        source.GetWaitObjects(c, CallStack("source", nullptr));
        sink.GetWaitObjects(c, CallStack("sink", nullptr));
        c.Wait(50);
        moved = CryptoPP::LWORD_MAX;
        source.GeneralPump2(moved, false, 0);
        sink.Flush(false, -1, false);
    }
    EXPECT_EQ(source.AttachedTransformation()->MaxRetrievable(), sizeof hello);
}

// Below its auto-flush bound a sink gathers what is put; the loop is never left waiting on
// gathered bytes, a few flushes without puts send them, and a put beyond the bound or with a
// message end sends at once.
TEST(SocketSink, GathersBelowItsBoundUntilTheStreamPauses) {
    Pair pair;
    SocketSink sink(64 * 1024);
    sink.AccessSocket().ShareWith(pair.client);
    sink.SetAutoFlushBound(1000);
    const std::string small(100, 's'), large(1500, 'l');
    auto put = [&](const std::string& bytes, int messageEnd) {
        return sink.Put2(reinterpret_cast<const byte*>(bytes.data()), bytes.size(), messageEnd, false);
    };

    ASSERT_EQ(put(small, 0), 0u);
    sink.FlushUnlessFilling();  // bytes came since the last flush: still gathering
    EXPECT_EQ(sink.BufferedBytes(), small.size());
    WaitObjectContainer c;
    sink.GetWaitObjects(c, CallStack("test", nullptr));
    EXPECT_TRUE(c.NoWait());
    for (int calls = 0; calls < 10 && !sink.Drained(); ++calls) sink.FlushUnlessFilling();
    ASSERT_TRUE(sink.Drained());
    EXPECT_EQ(ReadAll(pair.server, small.size()), small);

    ASSERT_EQ(put(small, 0), 0u);
    ASSERT_EQ(put(large, 0), 0u);
    EXPECT_TRUE(sink.Drained());
    EXPECT_EQ(ReadAll(pair.server, small.size() + large.size()), small + large);

    ASSERT_EQ(put(small, 1), 0u);
    EXPECT_TRUE(sink.Drained());
    EXPECT_EQ(ReadAll(pair.server, small.size() + 1), small);  // then the end of the stream
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

    // A wait that found nothing leaves the source nothing to try; bytes sent after it end the
    // next wait all the same.
    EXPECT_FALSE(c.Wait(20));
    moved = CryptoPP::LWORD_MAX;
    source.GeneralPump2(moved, true, 0);
    EXPECT_EQ(moved, 0u);
    const byte hello[] = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(pair.client.Send(hello, 5), 5u);
    c.Clear();
    source.GetWaitObjects(c, CallStack("test", nullptr));
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
