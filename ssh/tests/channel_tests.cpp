// Channel windows, queues, delivery and the end of a channel, against a recording host.
#include "ssh/channel.h"
#include "ssh/exceptions.h"
#include "ssh/wire.h"
#include "ssh/tests/message_recorder.h"
#include "ssh/tests/stream_helpers.h"

#include <gtest/gtest.h>

#include <cryptopp/queue.h>

#include <string>
#include <vector>

using namespace SSH;
using CryptoPP::BufferedTransformation;
using CryptoPP::ByteQueue;
using CryptoPP::byte;

namespace {

// The manager side: every message the channel sends becomes one entry.
class RecordingHost : public ChannelHost {
public:
    MessageRecorder output;
    bool overrunsAllowed = false;
    std::uint32_t tolerance = 0;

    BufferedTransformation& ChannelOutput() override { return output; }
    bool WindowOverrunsAllowed() const override { return overrunsAllowed; }
    std::uint32_t NegativeWindowTolerance() const override { return tolerance; }
    bool IsComponentRegistered(const BufferedTransformation*) const override { return false; }
};

// A data target that records each put with its channel name, can be blocked, and can throw.
class Target : public CryptoPP::Multichannel<CryptoPP::Sink> {
public:
    struct Put { std::string channel; std::string data; int messageEnd; };
    std::vector<Put> puts;
    int seriesEnds = 0;
    bool blocked = false;
    bool throws = false;

    std::size_t ChannelPut2(const std::string& channel, const byte* data, std::size_t length, int messageEnd,
                            bool) override
    {
        if (throws) throw CryptoPP::Exception(CryptoPP::Exception::IO_ERROR, "target failed");
        if (blocked) return length ? length : 1;
        puts.push_back(Put{channel, std::string(reinterpret_cast<const char*>(data), length), messageEnd});
        return 0;
    }
    bool ChannelMessageSeriesEnd(const std::string&, int, bool) override
    {
        if (blocked) return true;
        ++seriesEnds;
        return false;
    }
    bool ChannelFlush(const std::string&, bool, int, bool) override { return false; }
    std::string Data() const
    {
        std::string all;
        for (const Put& p : puts) all += p.data;
        return all;
    }
};

class TestChannel : public Channel {
public:
    TestChannel(ChannelHost& host, std::uint32_t window, std::uint32_t maxPacket = 32768)
        : Channel(host, "test", false, window, maxPacket, 32768, 1.0)
    {
    }
    Target target;
    std::vector<std::string> targetExceptions;

    BufferedTransformation& GetDataTarget() override { return target; }
    void OnTargetException(const std::exception* e) override { targetExceptions.push_back(e ? e->what() : "?"); }
    bool IsBusy() override { return false; }
    void PumpOutgoing(std::uint32_t) override {}
    void GetWaitObjects(CryptoPP::WaitObjectContainer&, bool, CryptoPP::CallStack const&) override {}
    unsigned int GetMaxWaitObjectCount() const override { return 0; }
};

std::string DataMessage(const std::string& data)
{
    return Written([&](BufferedTransformation& q) { EncodeString(q, data); });
}

void Receive(Channel& channel, const std::string& data, bool extended = false, std::uint32_t type = 0)
{
    ByteQueue message = QueueOf(DataMessage(data));
    channel.OnData(message, extended, type);
}

std::string Message(byte number, std::uint32_t recipient, const std::string& rest = "")
{
    return Written([&](BufferedTransformation& q) {
        EncodeByte(q, number);
        EncodeUint32(q, recipient);
    }) + rest;
}

std::string U32(std::uint32_t v)
{
    return Written([&](BufferedTransformation& q) { EncodeUint32(q, v); });
}

struct ChannelTest : ::testing::Test {
    RecordingHost host;
    TestChannel channel{host, 0x8000};

    void MakeOpen(std::uint32_t sendWindow = 0x10000)
    {
        channel.SetChannelState(Channel::Open);
        channel.SetRemoteNumber(7);
        channel.SetSendWindow(sendWindow);
    }
};

TEST_F(ChannelTest, AnnouncedMaximumPacketIsCapped)
{
    EXPECT_EQ(TestChannel(host, 1, 200000).RecvMaxPacket(), 130048u);
    EXPECT_EQ(TestChannel(host, 1, 32768).RecvMaxPacket(), 32768u);
}

TEST_F(ChannelTest, SendOpenWritesTheOpenMessage)
{
    channel.SetLocalNumber(3);
    channel.SendOpen(host, host.output);
    ASSERT_EQ(host.output.messages.size(), 1u);
    EXPECT_EQ(host.output.messages[0],
              std::string("\x5a") + DataMessage("test") + U32(3) + U32(0x8000) + U32(32768));
    EXPECT_EQ(channel.ChannelState(), Channel::OpenSent);
}

TEST_F(ChannelTest, DataBeyondTheWindowIsRefused)
{
    MakeOpen();
    Receive(channel, std::string(0x8000 - 10, 'a'));
    EXPECT_EQ(channel.RecvWindow(), 10u);
    EXPECT_EQ(ErrorOf([&] { Receive(channel, std::string(11, 'b')); }),
              "SSH: cause to disconnect: data exceeds window size");
    try {
        Receive(channel, std::string(11, 'b'));
    } catch (const CauseToDisconnect& e) {
        EXPECT_EQ(e.reason(), 2u);
        EXPECT_EQ(e.language(), "en");
    }
    // Nothing of the refused message was taken.
    EXPECT_EQ(channel.RecvWindow(), 10u);
    EXPECT_EQ(channel.BytesDelivered() + channel.BufferedIncomingBytes(), 0x8000u - 10);
}

TEST_F(ChannelTest, ADataLengthBeyondThePacketIsAProtocolError)
{
    MakeOpen();
    ByteQueue message = QueueOf(U32(0xFFFFFFF0) + "abc");
    EXPECT_EQ(ErrorOf([&] { channel.OnData(message, false, 0); }),
              "SSH: cause to disconnect: unexpected end of packet");
    EXPECT_EQ(channel.BufferedIncomingBytes(), 0u);
}

TEST_F(ChannelTest, OverrunIsMadeGoodByTheNextAdjustment)
{
    host.overrunsAllowed = true;
    host.tolerance = 100;
    MakeOpen();
    TestChannel small(host, 10);
    small.SetChannelState(Channel::Open);
    small.SetRemoteNumber(9);
    Receive(small, std::string(30, 'x'));  // a first overrun is taken whatever its size
    EXPECT_EQ(small.RecvWindow(), 0u);
    EXPECT_EQ(small.RecvOverrun(), 20u);
    Receive(small, std::string(80, 'y'));  // 20 + 80 is within the tolerance
    EXPECT_EQ(small.RecvOverrun(), 100u);
    EXPECT_EQ(ErrorOf([&] { Receive(small, std::string(1, 'z')); }),
              "SSH: cause to disconnect: data exceeds negative window tolerance");

    small.AdjustWindow();
    ASSERT_EQ(host.output.messages.size(), 1u);
    // Target 10 doubles to 20 with nothing buffered: increment 20, plus the 100 overrun.
    EXPECT_EQ(host.output.messages[0], Message(93, 9, U32(120)));
    EXPECT_EQ(small.RecvWindow(), 20u);
    EXPECT_EQ(small.RecvOverrun(), 0u);
}

TEST_F(ChannelTest, OverrunSumsNeverWrap)
{
    host.overrunsAllowed = true;
    host.tolerance = 0xFFFFFFFF;
    TestChannel small(host, 0);
    small.SetChannelState(Channel::Open);
    small.target.blocked = true;
    Receive(small, std::string(0x10, 'x'));
    ByteQueue huge = QueueOf(U32(0xFFFFFFF8) + std::string(8, 'y'));
    // 0x10 + 0xFFFFFFF8 passes 2^32: refused, not wrapped into a small overrun.
    EXPECT_EQ(ErrorOf([&] { small.OnData(huge, false, 0); }),
              "SSH: cause to disconnect: unexpected end of packet");
    EXPECT_EQ(small.RecvOverrun(), 0x10u);
}

TEST_F(ChannelTest, WindowAdjustmentDoublesTheTargetAndGrantsTheDifference)
{
    MakeOpen();
    Receive(channel, std::string(0x5000, 'a'));  // window 0x3000
    channel.ProcessIncoming();
    ASSERT_EQ(channel.BufferedIncomingBytes(), 0u);
    channel.AdjustWindow();
    ASSERT_EQ(host.output.messages.size(), 1u);
    EXPECT_EQ(host.output.messages[0], Message(93, 7, U32(0x10000 - 0x3000)));
    EXPECT_EQ(channel.RecvWindowTarget(), 0x10000u);
    EXPECT_EQ(channel.RecvWindow(), 0x10000u);
    channel.AdjustWindow();  // the window is full again: nothing sent
    EXPECT_EQ(host.output.messages.size(), 1u);
}

TEST_F(ChannelTest, ABlockedTargetHoldsTheWindowBack)
{
    TestChannel big(host, 0x20000);
    big.SetChannelState(Channel::Open);
    big.target.blocked = true;
    Receive(big, std::string(0x18000, 'a'));  // buffered 0x18000, window 0x8000
    big.AdjustWindow();  // (0x18000 + 0x8000) * 2 is not below the target
    EXPECT_TRUE(host.output.messages.empty());
    Receive(big, std::string(0x7000, 'b'));  // buffered 0x1F000, window 0x1000
    big.AdjustWindow();
    EXPECT_TRUE(host.output.messages.empty());
}

TEST_F(ChannelTest, WindowAdjustOverflowIsAProtocolError)
{
    MakeOpen(0xFFFFFF00);
    channel.OnWindowAdjust(0xFF);
    EXPECT_EQ(channel.SendWindow(), 0xFFFFFFFFu);
    EXPECT_EQ(ErrorOf([&] { channel.OnWindowAdjust(1); }),
              "SSH: cause to disconnect: window adjustment exceeds 2^32 - 1");
    EXPECT_EQ(channel.SendWindow(), 0xFFFFFFFFu);
}

TEST_F(ChannelTest, RunsOfTheSameKindFormOneChunkAndAreDeliveredInOrder)
{
    MakeOpen();
    channel.target.blocked = true;
    Receive(channel, "ab");
    Receive(channel, "cd");
    Receive(channel, "ef", true, 1);
    ASSERT_EQ(channel.IncomingChunks().size(), 2u);
    EXPECT_EQ(channel.IncomingChunks()[0].length, 4u);
    EXPECT_TRUE(channel.IncomingChunks()[1].extended);

    channel.target.blocked = false;
    channel.ProcessIncoming();
    ASSERT_EQ(channel.target.puts.size(), 2u);
    EXPECT_EQ(channel.target.puts[0].channel, "");
    EXPECT_EQ(channel.target.puts[0].data, "abcd");
    EXPECT_EQ(channel.target.puts[1].channel, std::string("\0\0\0\x01", 4));
    EXPECT_EQ(channel.target.puts[1].data, "ef");
    EXPECT_TRUE(channel.AllIncomingDelivered());
}

TEST_F(ChannelTest, DeliveryStopsAfterOneSlicePerCall)
{
    const std::size_t slice = Channel::DeliverySlice;
    TestChannel big(host, 2 * slice + 0x10000);
    big.SetChannelState(Channel::Open);
    big.target.blocked = true;
    Receive(big, std::string(slice + slice + 7232, 'q'));
    big.target.blocked = false;
    const std::size_t expected[] = {slice, slice, 7232};
    const bool capped[] = {true, true, false};
    for (int call = 0; call < 3; ++call) {
        big.target.puts.clear();
        big.ProcessIncoming();
        EXPECT_EQ(big.target.Data().size(), expected[call]) << call;
        EXPECT_EQ(big.DeliveryCapped(), capped[call]) << call;
    }
    EXPECT_EQ(big.BufferedIncomingBytes(), 0u);
}

TEST_F(ChannelTest, EofAndCloseReachTheTargetAfterTheData)
{
    MakeOpen();
    channel.target.blocked = true;
    Receive(channel, "last");
    channel.OnEof();
    channel.OnClose();
    EXPECT_FALSE(channel.EofDelivered());
    EXPECT_EQ(channel.target.seriesEnds, 0);

    channel.target.blocked = false;
    channel.ProcessIncoming();
    ASSERT_EQ(channel.target.puts.size(), 2u);
    EXPECT_EQ(channel.target.puts[0].data, "last");
    EXPECT_EQ(channel.target.puts[1].data, "");
    EXPECT_NE(channel.target.puts[1].messageEnd, 0);
    EXPECT_EQ(channel.target.seriesEnds, 1);
    EXPECT_TRUE(channel.EofDelivered());
    EXPECT_TRUE(channel.CloseDelivered());
}

TEST_F(ChannelTest, ATargetThatThrowsHasItsDataCountedAsDelivered)
{
    MakeOpen();
    channel.target.throws = true;
    Receive(channel, "lost");
    ASSERT_EQ(channel.targetExceptions.size(), 1u);
    EXPECT_EQ(channel.targetExceptions[0], "target failed");
    EXPECT_EQ(channel.BytesDelivered(), 4u);
    EXPECT_EQ(channel.BufferedIncomingBytes(), 0u);
    EXPECT_TRUE(channel.AllIncomingDelivered());
}

TEST_F(ChannelTest, DiscardedIncomingCountsAsDelivered)
{
    MakeOpen();
    channel.target.blocked = true;
    Receive(channel, "gone");
    channel.DiscardIncoming();
    channel.ProcessIncoming();
    EXPECT_EQ(channel.BufferedIncomingBytes(), 0u);
    EXPECT_TRUE(channel.EofDelivered() && channel.CloseDelivered());
}

TEST_F(ChannelTest, PutsAfterEofOrCloseAreRefused)
{
    channel.Put(reinterpret_cast<const byte*>("x"), 1);
    channel.MessageEnd();
    EXPECT_EQ(ErrorOf([&] { channel.Put(reinterpret_cast<const byte*>("y"), 1); }),
              "Channel put - cannot accept data after EOF has already been queued");
    EXPECT_EQ(ErrorOf([&] { channel.Put(nullptr, 0); }), "(nothing thrown)");
    channel.MessageSeriesEnd();
    EXPECT_EQ(ErrorOf([&] { channel.Put(reinterpret_cast<const byte*>("y"), 1); }),
              "Channel put - cannot accept data after CLOSE has already been queued");
    EXPECT_EQ(channel.QueuedOutgoingBytes(), 1u);

    TestChannel other(host, 1);
    EXPECT_EQ(ErrorOf([&] { other.ChannelPut(std::string("ab"), 'c'); }), "Channel put - invalid channel string");
}

TEST_F(ChannelTest, QueuedDataIsSentWithinTheBudgetThenEofThenClose)
{
    MakeOpen(100);
    channel.Put(reinterpret_cast<const byte*>("hello"), 5);
    channel.ChannelPut(ChannelNumberToString(1), reinterpret_cast<const byte*>("err"), 3);
    channel.MessageSeriesEnd();

    channel.SendQueuedData(4);
    ASSERT_EQ(host.output.messages.size(), 1u);
    EXPECT_EQ(host.output.messages[0], Message(94, 7, DataMessage("hell")));
    EXPECT_EQ(channel.SendWindow(), 96u);
    EXPECT_FALSE(channel.EofSent());

    channel.SendQueuedData(100);
    ASSERT_EQ(host.output.messages.size(), 5u);
    EXPECT_EQ(host.output.messages[1], Message(94, 7, DataMessage("o")));
    EXPECT_EQ(host.output.messages[2], Message(95, 7, U32(1) + DataMessage("err")));
    EXPECT_EQ(host.output.messages[3], Message(96, 7));
    EXPECT_EQ(host.output.messages[4], Message(97, 7));
    EXPECT_EQ(channel.BytesSent(), 8u);
    EXPECT_TRUE(channel.EofSent() && channel.CloseSent());
}

TEST_F(ChannelTest, NoDataMessageExceedsThePeersMaximumPacket)
{
    MakeOpen(0x10000);
    channel.SetSendMaxPacket(1024);
    const std::string data(5000, 'x');
    channel.Put(reinterpret_cast<const byte*>(data.data()), data.size());
    channel.SendQueuedData(channel.SendWindow());
    ASSERT_EQ(host.output.messages.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(host.output.messages[i], Message(94, 7, DataMessage(std::string(1024, 'x'))));
    EXPECT_EQ(host.output.messages[4], Message(94, 7, DataMessage(std::string(904, 'x'))));
    EXPECT_EQ(channel.BytesSent(), 5000u);
}

TEST_F(ChannelTest, SendCloseDropsWhatTheWindowDoesNotAllow)
{
    MakeOpen(40);
    const std::string data(100, 'd');
    channel.Put(reinterpret_cast<const byte*>(data.data()), data.size());
    channel.MessageEnd();
    channel.SendClose();
    ASSERT_EQ(host.output.messages.size(), 3u);
    EXPECT_EQ(host.output.messages[0], Message(94, 7, DataMessage(std::string(40, 'd'))));
    EXPECT_EQ(host.output.messages[1], Message(96, 7));
    EXPECT_EQ(host.output.messages[2], Message(97, 7));
    EXPECT_EQ(channel.QueuedOutgoingBytes(), 0u);
    channel.SendClose();  // once only
    EXPECT_EQ(host.output.messages.size(), 3u);
}

TEST_F(ChannelTest, PriorityFollowsWhatIsReadyToSend)
{
    EXPECT_EQ(channel.SendPriority(8206), 0.0);  // not open
    MakeOpen(0x10000);
    EXPECT_EQ(channel.SendPriority(8206), 0.0);  // nothing queued
    channel.Put(reinterpret_cast<const byte*>("abcd"), 4);
    const double p = channel.SendPriority(8206);
    EXPECT_GT(p, 0.0);
    EXPECT_LE(p, channel.SendPriority(2));  // less ready means served sooner
    channel.SetSendWindow(0);
    EXPECT_EQ(channel.SendPriority(8206), 0.0);
}

TEST_F(ChannelTest, TheDefaultOpenAnswerIsUnknownChannelType)
{
    ByteQueue data, confirmation;
    try {
        channel.AcceptOpen(host, data, confirmation);
        FAIL();
    } catch (const ChannelOpenFailure& e) {
        EXPECT_EQ(e.reason(), 3u);
        EXPECT_EQ(e.description(), "");
        EXPECT_EQ(e.language(), "en");
    }
    EXPECT_EQ(ErrorOf([&] { channel.SetComponent(&data); }),
              "Channel::SetComponent() - component object not registered in Manager");
}

}  // namespace
