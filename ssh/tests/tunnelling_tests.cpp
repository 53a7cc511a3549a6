// A forwarded connection opened to a local TCP server and relayed both ways.
#include "ssh/tunnelling.h"

#include "ssh/exceptions.h"
#include "ssh/message_numbers.h"
#include "ssh/wire.h"
#include "ssh/net/tests/winsock_environment.h"
#include "ssh/tests/message_recorder.h"
#include "ssh/tests/stream_helpers.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

using namespace SSH;
using CryptoPP::BufferedTransformation;
using CryptoPP::byte;

namespace {

::testing::Environment* const winsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

class Host : public ChannelHost {
public:
    MessageRecorder output;
    BufferedTransformation& ChannelOutput() override { return output; }
    bool WindowOverrunsAllowed() const override { return false; }
    std::uint32_t NegativeWindowTolerance() const override { return 0; }
    bool IsComponentRegistered(const BufferedTransformation*) const override { return false; }
};

class Responder : public TunnelingResponder {
public:
    explicit Responder(ChannelHost& host) : TunnelingResponder(host, "direct-tcpip", true, 0x8000, 32768, 32768, 1.0) {}
    int decisions = 0;
    bool approve = true;
    bool connected = false;
    bool failed = false;
    bool StartTargetProcessing(ChannelHost&) override { ++decisions; return approve; }
    bool ContinueTargetProcessing(ChannelHost&) override { ++decisions; return approve; }
    void OnTargetConnected(ChannelHost&) override { connected = true; }
    void OnTargetConnectFailed(ChannelHost&, ConnectingSocket&) override { failed = true; }
};

std::string OpenData(const std::string& host, std::uint32_t port)
{
    return Written([&](BufferedTransformation& q) {
        EncodeString(q, host);
        EncodeUint32(q, port);
        EncodeString(q, "10.0.0.5");
        EncodeUint32(q, 1080);
    });
}

// Pumps the open until it finishes; false while still under way after the rounds.
bool Open(Responder& channel, Host& host, const std::string& openData)
{
    CryptoPP::ByteQueue data = QueueOf(openData), confirmation;
    bool done = channel.AcceptOpen(host, data, confirmation);
    for (int round = 0; !done && round < 200; ++round) {
        Sleep(10);
        done = channel.CompleteOpen(host, confirmation);
    }
    return done;
}

// The loop asks every open channel for its wait objects, and the channel asks its socket: the
// socket's own attachment, the channel again, must not be asked back (that recursed without end).
void ExpectWaitObjects(Channel& channel)
{
    CryptoPP::WaitObjectContainer container;
    channel.GetWaitObjects(container, CryptoPP::CallStack("test", nullptr));
    EXPECT_TRUE(!container.Handles().empty() || container.NoWait());
    EXPECT_LE(container.Handles().size(), channel.GetMaxWaitObjectCount());
}

TEST(TunnelingResponder, RelaysBetweenTheChannelAndTheTarget)
{
    Host host;
    Listener target;
    Responder channel(host);
    ASSERT_TRUE(Open(channel, host, OpenData("127.0.0.1", target.port)));
    EXPECT_EQ(channel.decisions, 1);
    EXPECT_TRUE(channel.connected);
    EXPECT_EQ(channel.Originator().ToText(), "10.0.0.5");
    channel.SetChannelState(Channel::Open);
    channel.SetRemoteNumber(5);
    channel.SetSendWindow(0x10000);
    ExpectWaitObjects(channel);

    Socket accepted;
    for (int round = 0; round < 200 && !target.socket.Accept(accepted, nullptr, nullptr); ++round) Sleep(10);
    ASSERT_TRUE(accepted.IsValid());

    // Peer to target.
    CryptoPP::ByteQueue message = QueueOf(Written([](BufferedTransformation& q) { EncodeString(q, "ping"); }));
    channel.OnData(message, false, 0);
    std::string received;
    for (int round = 0; round < 200 && received.size() < 4; ++round) {
        static_cast<SocketSink*>(static_cast<ForwardingComponent&>(channel.GetDataTarget()).Target())->TimedFlush(0);
        byte buffer[16];
        const long n = accepted.Receive(buffer, sizeof buffer);
        if (n > 0) received.append(reinterpret_cast<const char*>(buffer), n);
        else Sleep(10);
    }
    EXPECT_EQ(received, "ping");

    // Target to peer, then the target's end of stream becomes EOF.
    ASSERT_EQ(accepted.Send(reinterpret_cast<const byte*>("pong"), 4), 4u);
    shutdown(accepted.GetSocket(), SD_SEND);
    for (int round = 0; round < 200 && !channel.EofQueued(); ++round) {
        channel.PumpOutgoing(1000);
        if (!channel.EofQueued()) Sleep(10);
    }
    EXPECT_TRUE(channel.EofQueued());
    channel.SendQueuedData(channel.SendWindow());
    ASSERT_EQ(host.output.messages.size(), 2u);
    EXPECT_EQ(host.output.messages[0], Written([](BufferedTransformation& q) {
                  EncodeByte(q, SSH_MSG_CHANNEL_DATA);
                  EncodeUint32(q, 5);
                  EncodeString(q, "pong");
              }));
    EXPECT_EQ(host.output.messages[1].substr(0, 1), "\x60");
}

TEST(TunnelingResponder, ARefusedTargetFailsTheOpenWithConnectFailed)
{
    Host host;
    std::uint32_t closedPort;
    {
        Listener gone;
        closedPort = gone.port;
    }
    Responder channel(host);
    try {
        Open(channel, host, OpenData("127.0.0.1", closedPort));
        FAIL() << "the open did not fail";
    } catch (const ChannelOpenFailure& e) {
        EXPECT_EQ(e.reason(), 2u);
        EXPECT_EQ(e.description(), "");
        EXPECT_EQ(e.language(), "en");
    }
    EXPECT_TRUE(channel.failed);
}

TEST(TunnelingResponder, NoConnectionStartsBeforeTheDecisionSaysYes)
{
    Host host;
    Listener target;
    Responder channel(host);
    channel.approve = false;
    CryptoPP::ByteQueue data = QueueOf(OpenData("127.0.0.1", target.port)), confirmation;
    EXPECT_FALSE(channel.AcceptOpen(host, data, confirmation));
    EXPECT_FALSE(channel.CompleteOpen(host, confirmation));
    EXPECT_EQ(channel.decisions, 2);
    Socket accepted;
    Sleep(50);
    EXPECT_FALSE(target.socket.Accept(accepted, nullptr, nullptr));
}

class Initiator : public TunnelingInitiator {
public:
    explicit Initiator(ChannelHost& host) : TunnelingInitiator(host, "direct-tcpip", true, 0x8000, 32768, 32768, 1.0) {}
};

TEST(TunnelingInitiator, OpensWithTheForwardingPairsAndRelays)
{
    Host host;
    Listener local;
    Socket client;
    client.Create();
    NetworkAddress at;
    at.Set("127.0.0.1", local.port);
    const sockaddr_in address = at.ToSockAddr();
    client.SetNonBlocking();
    client.Connect(reinterpret_cast<const sockaddr*>(&address), sizeof address);
    Socket accepted;
    for (int round = 0; round < 200 && !local.socket.Accept(accepted, nullptr, nullptr); ++round) Sleep(10);
    ASSERT_TRUE(accepted.IsValid());

    Initiator channel(host);
    NetworkAddress target, originator;
    target.Set("localhost", 22);
    originator.Set("10.0.0.5", 1080);
    channel.AttachSocket(accepted.DetachSocket(), originator, target);
    channel.SetLocalNumber(2);
    channel.SendOpen(host, host.output);
    ASSERT_EQ(host.output.messages.size(), 1u);
    const std::string expected = Written([](BufferedTransformation& q) {
        EncodeString(q, "localhost");
        EncodeUint32(q, 22);
        EncodeString(q, "10.0.0.5");
        EncodeUint32(q, 1080);
    });
    const std::string& open = host.output.messages[0];
    EXPECT_EQ(open.substr(open.size() - expected.size()), expected);
    ExpectWaitObjects(channel);

    // Local bytes reach the channel; the local end's close becomes EOF.
    ASSERT_EQ(client.Send(reinterpret_cast<const byte*>("abc"), 3), 3u);
    shutdown(client.GetSocket(), SD_SEND);
    for (int round = 0; round < 200 && !channel.EofQueued(); ++round) {
        channel.PumpOutgoing(1000);
        if (!channel.EofQueued()) Sleep(10);
    }
    EXPECT_TRUE(channel.EofQueued());
    EXPECT_EQ(channel.QueuedOutgoingBytes(), 3u);
}

}  // namespace
