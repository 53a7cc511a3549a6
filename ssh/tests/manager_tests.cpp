#include "ssh/key_files.h"
#include "ssh/message_numbers.h"
#include "ssh/tunnelling.h"
#include "ssh/net/tests/winsock_environment.h"
#include "manager_peer.h"
#include "disconnect_of.h"
#include "stream_helpers.h"
#include "forwarding_fixtures.h"

#include <cryptopp/mqueue.h>

#include <gtest/gtest.h>

namespace {

// A manager whose answers are collected as plain payloads, one message each, and into which
// messages are put directly, as the packet decoder would.
struct DirectManager {
    explicit DirectManager(bool client = false, int transportState = SSH::TransportServiceRunning,
                           std::uint32_t maxQueuedMessages = 100)
        : state(TestRng(), &log, 1 << 20, maxQueuedMessages, 6),
          handler(client ? new DhKexHandler(verifier) : new DhKexHandler), out(new CryptoPP::MessageQueue),
          manager(state, auth, out)
    {
        state.AddKexHandler(*handler);
        manager.SetTransportState(transportState);
        manager.SetKexState(transportState == SSH::TransportServiceRunning ? SSH::KexServiceRunning : SSH::KexInitSent);
    }
    void Put(const std::string& message)
    {
        manager.Put(reinterpret_cast<const CryptoPP::byte*>(message.data()), message.size());
        manager.MessageEnd();
    }
    std::vector<std::string> Sent()
    {
        std::vector<std::string> messages;
        while (out->AnyRetrievable() || out->NumberOfMessages() > 0) {
            std::string m;
            CryptoPP::StringSink sink(m);
            out->TransferMessagesTo(sink, 1);
            messages.push_back(m);
            if (m.empty() && !out->AnyMessages()) break;
        }
        return messages;
    }

    LineLog log;
    AcceptingVerifier verifier;
    TestUserAuth auth;
    TransportState state;
    std::unique_ptr<DhKexHandler> handler;
    CryptoPP::MessageQueue* out;
    TestManager manager;
};

std::string Message(std::initializer_list<std::function<void(CryptoPP::BufferedTransformation&)>> fields)
{
    return Written([&](CryptoPP::BufferedTransformation& q) {
        for (const auto& f : fields) f(q);
    });
}

auto Byte(CryptoPP::byte b) { return [b](CryptoPP::BufferedTransformation& q) { SSH::EncodeByte(q, b); }; }
auto Str(const std::string& s) { return [s](CryptoPP::BufferedTransformation& q) { SSH::EncodeString(q, s); }; }
auto Bool(bool b) { return [b](CryptoPP::BufferedTransformation& q) { SSH::EncodeBoolean(q, b); }; }
auto U32(std::uint32_t v) { return [v](CryptoPP::BufferedTransformation& q) { SSH::EncodeUint32(q, v); }; }

}  // namespace

TEST(Manager, KeyExchangeServiceAndPasswordAuthentication)
{
    ManagerPair pair;
    EXPECT_EQ(pair.client.state.TransportStateNumber(), SSH::TransportServiceRunning);
    EXPECT_EQ(pair.client.state.KexStateNumber(), SSH::KexServiceRunning);
    EXPECT_EQ(pair.server.state.TransportStateNumber(), SSH::TransportServiceRunning);
    EXPECT_EQ(pair.server.state.KexStateNumber(), SSH::KexServiceRunning);
    EXPECT_EQ(pair.client.manager.events,
              (std::vector<std::string>{"kexinit sent 1 reason 0", "kex complete 1 reason 0"}));

    pair.SendPassword("alice", "wrong");
    EXPECT_EQ(pair.client.auth.state, UserAuthState::Failure);
    EXPECT_EQ(pair.client.auth.methodsThatCanContinue, "password,publickey");
    pair.SendPassword("bob", "secret");
    EXPECT_EQ(pair.client.auth.state, UserAuthState::Success);
    EXPECT_EQ(pair.client.auth.events, (std::vector<std::string>{"state 4", "state 6"}));
    EXPECT_EQ(pair.server.auth.events, (std::vector<std::string>{"user changed to bob"}));

    // After success a request gets no answer.
    pair.SendPassword("bob", "secret");
    EXPECT_EQ(pair.server.auth.events.back(), "after success");
    EXPECT_EQ(pair.client.auth.events.size(), 2u);
}

// The client's requests record their method, so the server's PK_OK (number 60, shared with the
// password-change prompt) is read as "publickey" with nothing set by hand.
TEST(Manager, PublicKeyQueryThenSignedRequestLogsIn)
{
    ManagerPair pair;
    std::string pem;
    CryptoPP::StringSink pemSink(pem);
    CryptoPP::ByteQueue body;
    RsaKey().EncodePemBody(body);
    WritePemPrivateKey(pemSink, RsaKey().PemKeyType(), TestRng(), "", 0, body);
    CryptoPP::StringSink blobSink(pair.server.auth.acceptedKeyBlob);
    RsaKey().EncodePublicKey(blobSink);

    // A failed password first: the method changes with each request.
    pair.SendPassword("carol", "wrong");
    CryptoPP::StringStore queryFile(pem);
    pair.client.manager.RequestPublicKeyAuth("carol", queryFile, "", 0, nullptr);
    Exchange(pair.client, pair.server);
    EXPECT_EQ(pair.client.auth.currentMethod, "publickey");
    ASSERT_EQ(pair.client.auth.state, UserAuthState::PublicKeyOk);
    EXPECT_EQ(pair.client.auth.publicKeyBlob, pair.server.auth.acceptedKeyBlob);

    CryptoPP::StringStore signFile(pem);
    pair.client.manager.RequestPublicKeyAuth("carol", signFile, "", 0, &TestRng());
    Exchange(pair.client, pair.server);
    EXPECT_EQ(pair.client.auth.state, UserAuthState::Success);
    EXPECT_EQ(pair.client.auth.events, (std::vector<std::string>{"state 4", "state 2", "state 6"}));

    // A key that cannot be read sends nothing and keeps the method.
    DirectManager c(true);
    c.manager.RequestPasswordAuth("u", CryptoPP::ConstByteArrayParameter(std::string("pw")), false);
    c.Sent();
    CryptoPP::StringStore garbage(std::string("not a key"));
    EXPECT_ANY_THROW(c.manager.RequestPublicKeyAuth("u", garbage, "", 0, nullptr));
    EXPECT_TRUE(c.Sent().empty());
    EXPECT_EQ(c.auth.currentMethod, "password");
}

TEST(Manager, GlobalRequestsAreAnsweredAndMatchedInOrder)
{
    ManagerPair pair;
    pair.SendPassword("bob", "secret");
    std::vector<std::string> replies;
    RecordingReplyHandler a(replies, "A"), b(replies, "B");
    CryptoPP::ByteQueue none;
    SSH::Manager& client = pair.client.manager;
    client.SendGlobalRequest("tcpip-forward", none, &a);
    client.SendGlobalRequest("cancel-tcpip-forward", none, &b);
    client.SendGlobalRequest("no-reply-wanted", none, nullptr);
    client.SendGlobalRequest(KeepAliveRequestName(), none, &NullGlobalRequestHandler::Shared());
    EXPECT_EQ(client.PendingGlobalRequests(), 3u);
    Exchange(pair.client, pair.server);
    EXPECT_EQ(replies, (std::vector<std::string>{"A success 2222", "A released", "B failure 2222", "B released"}));
    EXPECT_EQ(client.PendingGlobalRequests(), 0u);
    // The keep-alive is answered without the hook; a request without reply is only seen.
    EXPECT_EQ(pair.server.manager.events,
              (std::vector<std::string>{"kexinit sent 1 reason 0", "kex complete 1 reason 0",
                                        "ignore 232",  // the password request's length padding
                                        "global request tcpip-forward", "global request cancel-tcpip-forward",
                                        "global request no-reply-wanted"}));

    // A reply with nothing pending goes to the hooks.
    SSH::EncodeByte(pair.server.manager.Output(), SSH::SSH_MSG_REQUEST_FAILURE);
    pair.server.manager.Output().MessageEnd();
    Exchange(pair.client, pair.server);
    EXPECT_EQ(pair.client.manager.events.back(), "unmatched reply failure");

    // A replaced handler is released at once and its reply disappears.
    client.SendGlobalRequest("tcpip-forward", none, &a);
    replies.clear();
    client.ReplaceGlobalRequestHandler(&a, nullptr);
    Exchange(pair.client, pair.server);
    EXPECT_EQ(replies, (std::vector<std::string>{"A released"}));

    // The data of a request nobody here knows, such as OpenSSH's host-key announcement, goes
    // quietly.
    CryptoPP::ByteQueue keys;
    SSH::EncodeString(keys, "a host key blob");
    client.SendGlobalRequest("hostkeys-00@openssh.com", keys, nullptr);
    Exchange(pair.client, pair.server);
    EXPECT_EQ(pair.server.manager.events.back(), "global request hostkeys-00@openssh.com");
    EXPECT_FALSE(pair.server.log.Has("Packet not completely processed"));

    // A peer that answers a request with SSH_MSG_UNIMPLEMENTED (sshd does so before login
    // ends) has refused it; the requests after it keep waiting for their replies.
    replies.clear();
    client.SendGlobalRequest("tcpip-forward", none, &a);
    const std::uint32_t first = pair.client.state.OutgoingSequence() - 1;
    client.SendGlobalRequest("tcpip-forward", none, &b);
    pair.client.Wire().Skip();  // the server never sees them
    SSH::EncodeByte(pair.server.manager.Output(), SSH::SSH_MSG_UNIMPLEMENTED);
    SSH::EncodeUint32(pair.server.manager.Output(), first);
    pair.server.manager.Output().MessageEnd();
    Exchange(pair.client, pair.server);
    EXPECT_EQ(replies, (std::vector<std::string>{"A failure 0", "A released"}));
    EXPECT_EQ(client.PendingGlobalRequests(), 1u);
    EXPECT_NE(pair.client.manager.events.back(), "unimplemented " + std::to_string(first));
}

TEST(Manager, ReexchangeWeStartHoldsConnectionMessagesUntilNewKeys)
{
    ManagerPair pair;
    pair.SendPassword("bob", "secret");
    std::vector<std::string> replies;
    RecordingReplyHandler a(replies, "A");
    CryptoPP::ByteQueue none;

    pair.client.manager.SendKexInit(pair.client.kexInit, false);
    // The server still sends on its old keys: the client holds these until the exchange ends.
    pair.server.manager.SendGlobalRequest("from-server", none, nullptr);
    pair.server.manager.SendIgnore();
    Exchange(pair.client, pair.server);
    EXPECT_TRUE(pair.client.log.Has("Message queued for later processing - queued messages: 1, bytes: 17"));
    EXPECT_TRUE(pair.client.log.Has("Remaining queued messages: 0, bytes: 0"));
    EXPECT_EQ(pair.client.manager.events.back(), "global request from-server");
    EXPECT_EQ(pair.client.manager.events[pair.client.manager.events.size() - 3], "ignore 5");
    EXPECT_EQ(pair.client.state.KexCount(), 2u);
    EXPECT_EQ(pair.client.state.TransportStateNumber(), SSH::TransportServiceRunning);
    EXPECT_EQ(pair.server.state.TransportStateNumber(), SSH::TransportServiceRunning);
    EXPECT_NE(pair.server.manager.events.end(),
              std::find(pair.server.manager.events.begin(), pair.server.manager.events.end(), "kexinit sent 2 reason 2"));

    // The connection works on the new keys, and the peer may start the next exchange.
    pair.server.manager.SendKexInit(pair.server.kexInit, false);
    pair.client.manager.SendGlobalRequest("tcpip-forward", none, &a);
    Exchange(pair.client, pair.server);
    EXPECT_EQ(replies, (std::vector<std::string>{"A success 2222", "A released"}));
    EXPECT_EQ(pair.client.manager.events.back(), "kex complete 3 reason 2");
}

TEST(Manager, DisconnectCarriesItsReason)
{
    ManagerPair pair;
    pair.client.manager.SendDisconnect(SSH::CauseToDisconnect(SSH::DisconnectByApplication, "bye", "en"));
    EXPECT_EQ(pair.client.state.TransportStateNumber(), SSH::TransportDisconnected);
    EXPECT_EQ(pair.client.manager.DisconnectOriginOf(), SSH::Manager::WeDisconnected);
    // A second one is not sent.
    pair.client.manager.SendDisconnect(SSH::CauseToDisconnect(2, "again", "en"));
    Exchange(pair.client, pair.server);
    EXPECT_EQ(pair.server.state.TransportStateNumber(), SSH::TransportDisconnected);
    EXPECT_EQ(pair.server.state.KexStateNumber(), SSH::KexDisconnected);
    EXPECT_EQ(pair.server.manager.DisconnectOriginOf(), SSH::Manager::PeerDisconnected);
    EXPECT_EQ(pair.server.manager.DisconnectReason(), SSH::DisconnectByApplication);
    EXPECT_EQ(pair.server.manager.DisconnectDescription(), "bye");
    EXPECT_EQ(pair.server.manager.DisconnectLanguage(), "en");
}

TEST(Manager, ProtocolViolationsEndTheConnectionWithTheirTexts)
{
    const std::string authText = "received packet inappropriate for current authentication state";
    struct Case {
        const char* what;
        bool client;
        int transportState;
        std::string message;
        std::uint32_t reason;
        std::string text;
    } cases[] = {
        {"service other than ssh-userauth", false, 4, Message({Byte(5), Str("ssh-connection")}), 7, ""},
        {"service request to a client", true, 4, Message({Byte(5), Str("ssh-userauth")}), 2,
         "received packet meant for server"},
        {"userauth for another service", false, 6, Message({Byte(50), Str("u"), Str("ssh-other"), Str("none")}), 7, ""},
        {"global request before authentication", false, 6, Message({Byte(80), Str("x"), Bool(true)}), 2, authText},
        {"reply before authentication", false, 6, Message({Byte(81)}), 2, authText},
        {"kexinit during an exchange", false, 2, Message({Byte(20)}), 2,
         "received KexInit packet inappropriate for current transport state"},
        {"kexinit after new keys sent", false, 3, Message({Byte(20)}), 2,
         "received KexInit packet inappropriate for current transport state"},
        {"truncated debug message", false, 6, Message({Byte(4), Bool(true), U32(100)}), 2, "unexpected end of packet"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DirectManager d(c.client, c.transportState);
        EXPECT_EQ(DisconnectOf([&] { d.Put(c.message); }), std::make_pair(c.reason, c.text));
    }
}

TEST(Manager, IntakeLimitsEmptyAndUnknownMessages)
{
    {
        DirectManager d;
        d.Put(std::string(1, '\x02') + std::string(SSH::MaxIncomingMessageBytes - 1, 'x'));
        EXPECT_EQ(d.manager.events.back(), "ignore 262144");
        // One byte more is refused while it is being put, before it is kept.
        std::string big(SSH::MaxIncomingMessageBytes, 'x');
        big[0] = SSH::SSH_MSG_IGNORE;
        d.manager.Put(reinterpret_cast<const CryptoPP::byte*>(big.data()), big.size());
        EXPECT_EQ(DisconnectOf([&] { d.manager.Put(reinterpret_cast<const CryptoPP::byte*>("x"), 1); }),
                  std::make_pair(2u, std::string("decompressed packet length too large")));
    }
    {
        DirectManager d;
        d.manager.MessageEnd();
        EXPECT_EQ(d.log.lines, (std::vector<std::string>{"Empty packet received, ignoring"}));
        EXPECT_TRUE(d.Sent().empty());
        d.Put(Message({Byte(2), Str("12345")}));
        EXPECT_EQ(d.manager.events.back(), "ignore 10");
        for (CryptoPP::byte number : {7, 101}) {
            d.Put(Message({Byte(number)}));
            EXPECT_EQ(d.Sent(), (std::vector<std::string>{Message({Byte(3), U32(0)})}));
        }
        d.Put(Message({Byte(3), U32(77)}));
        EXPECT_EQ(d.manager.events.back(), "unimplemented 77");
        d.Put(Message({Byte(3), U32(78), Byte(0)}));
        EXPECT_EQ(d.log.lines.back(), "Packet not completely processed");
        EXPECT_THROW(d.manager.Put2(reinterpret_cast<const CryptoPP::byte*>("x"), 1, 0, false),
                     CryptoPP::BufferedTransformation::BlockingInputOnly);
    }
}

TEST(Manager, HeldMessagesOverflow)
{
    DirectManager d(false, 6, 2);
    d.state.BeginKeyExchange(0);
    d.state.BeginKeyExchange(1);  // a re-exchange is pending
    const std::string data = Message({Byte(120), U32(0), Str("x")});
    for (int i = 0; i < 3; ++i) d.Put(data);
    EXPECT_EQ(d.manager.HeldMessages(), 3u);
    EXPECT_EQ(DisconnectOf([&] { d.Put(data); }),
              std::make_pair(2u, std::string("incoming message queue overflowed while waiting response to our key "
                                             "re-exchange request (too many messages)")));
    // Transport messages are not held.
    d.Put(Message({Byte(2), Str("")}));
    EXPECT_EQ(d.manager.events.back(), "ignore 5");
}

TEST(Manager, UserAuthenticationAnswersByState)
{
    DirectManager d;
    d.Put(Message({Byte(50), Str("alice"), Str("ssh-connection"), Str("none")}));
    EXPECT_EQ(d.Sent(), (std::vector<std::string>{Message({Byte(51), Str("password,publickey"), Bool(false)})}));
    d.Put(Message({Byte(50), Str("alice"), Str("ssh-connection"), Str("password"), Bool(false), Str("secret")}));
    EXPECT_EQ(d.Sent(), (std::vector<std::string>{Message({Byte(52)})}));
    EXPECT_TRUE(d.auth.events.empty());

    DirectManager c(true);
    c.auth.currentMethod = "publickey";
    c.Put(Message({Byte(53), Str("welcome"), Str("en")}));
    c.Put(Message({Byte(60), Str("ssh-dss"), Str("blob")}));
    EXPECT_EQ(c.auth.state, UserAuthState::PublicKeyOk);
    EXPECT_EQ(c.auth.publicKeyBlob, "blob");
    c.Put(Message({Byte(51), Str("password"), Bool(true)}));
    EXPECT_EQ(c.auth.state, UserAuthState::PartialSuccess);
    c.Put(Message({Byte(52)}));
    c.Put(Message({Byte(53), Str("late"), Str("en")}));
    EXPECT_EQ(c.manager.events.back(), "banner welcome");
    EXPECT_EQ(c.auth.events, (std::vector<std::string>{"state 2", "state 5", "state 6"}));

    DirectManager other(true);
    other.auth.currentMethod = "hostbased";
    other.Put(Message({Byte(60)}));
    EXPECT_EQ(other.Sent(), (std::vector<std::string>{Message({Byte(3), U32(0)})}));
}

TEST(Manager, ComponentsAndHandlersAreRegisteredOnce)
{
    struct Component : ManagerComponent {
        explicit Component(std::vector<std::string>& log) : log(log) {}
        ~Component() override { log.push_back("deleted"); }
        void OnUnregistered() override { log.push_back("unregistered"); }
        void Poll() override { log.push_back("poll"); }
        std::vector<std::string>& log;
    };
    struct OpenHandler : ChannelOpenHandler {
        SSH::Channel* CreateChannel(const std::string&, CryptoPP::BufferedTransformation&) override { return nullptr; }
        void Release() override { ++released; }
        int released = 0;
    };
    std::vector<std::string> log;
    OpenHandler h1, h2;
    {
        DirectManager d;
        Component* owned = new Component(log);
        Component kept(log);
        d.manager.RegisterComponent(owned, false);
        d.manager.RegisterComponent(owned, true);
        d.manager.RegisterComponent(&kept, false);
        d.manager.Poll();
        EXPECT_EQ(log, (std::vector<std::string>{"poll", "poll"}));
        d.manager.UnregisterComponent(&kept);
        EXPECT_FALSE(d.manager.IsComponentRegistered(&kept));
        EXPECT_TRUE(d.manager.IsComponentRegistered(owned));

        d.manager.AddChannelOpenHandler(&h1);
        d.manager.AddChannelOpenHandler(&h2);
        d.manager.AddChannelOpenHandler(&h1);
        EXPECT_EQ(d.manager.ChannelOpenHandlers(), (std::vector<ChannelOpenHandler*>{&h2, &h1}));
        d.manager.RemoveChannelOpenHandler(&h2);
        d.manager.RemoveChannelOpenHandler(&h2);
        EXPECT_EQ(h2.released, 1);
        log.clear();
    }
    // The manager's end unregisters what is left and deletes what it owns (the first
    // "deleted" is the component on the stack).
    EXPECT_EQ(log, (std::vector<std::string>{"deleted", "unregistered", "deleted"}));
    EXPECT_EQ(h1.released, 1);
}

TEST(Manager, NothingIsProcessedAfterADisconnect)
{
    DirectManager d;
    d.Put(Message({Byte(1), U32(11), Str("bye"), Str("en")}));
    EXPECT_EQ(d.state.TransportStateNumber(), SSH::TransportDisconnected);
    // A KEXINIT after the disconnect starts no key exchange; an unknown number is not answered.
    d.Put(Written([](CryptoPP::BufferedTransformation& q) { KexInit().Encode(q); }));
    d.Put(Message({Byte(7)}));
    EXPECT_EQ(d.state.TransportStateNumber(), SSH::TransportDisconnected);
    EXPECT_TRUE(d.Sent().empty());
}

namespace {

// Records what a channel delivers, including the end of the peer's data.
class RecordingTarget : public CryptoPP::Multichannel<CryptoPP::Sink> {
public:
    std::size_t ChannelPut2(const std::string&, const CryptoPP::byte* data, std::size_t length, int, bool) override
    {
        received.append(reinterpret_cast<const char*>(data), length);
        return 0;
    }
    bool ChannelMessageSeriesEnd(const std::string&, int, bool) override
    {
        ++seriesEnds;
        return false;
    }
    bool ChannelFlush(const std::string&, bool, int, bool) override { return false; }
    std::string received;
    int seriesEnds = 0;
};

// A channel whose outgoing data is what local code puts into it; its log outlives it.
class PipeChannel : public SSH::Channel {
public:
    PipeChannel(SSH::ChannelHost& host, std::vector<std::string>& log, const std::string& type, std::uint32_t window,
                std::uint32_t maxPacket = 32768)
        : Channel(host, type, true, window, maxPacket, 32768, 1.0), log_(log)
    {
    }
    ~PipeChannel() override { log_.push_back(Type() + " deleted, received " + target.received); }
    bool AcceptOpen(SSH::ChannelHost&, CryptoPP::BufferedTransformation&, CryptoPP::BufferedTransformation&) override
    {
        if (Type() == "refused") throw SSH::ChannelOpenFailure(2, "refused here", "en");
        return true;
    }
    void OnOpenFailed(SSH::ChannelHost&, std::uint32_t reason, const std::string& text, const std::string& language) override
    {
        log_.push_back("open failed " + std::to_string(reason) + " " + text + " " + language);
    }
    CryptoPP::BufferedTransformation& GetDataTarget() override { return target; }
    void OnTargetException(const std::exception*) override { log_.push_back("target exception"); }
    bool IsBusy() override { return false; }
    void PumpOutgoing(std::uint32_t) override {}
    void GetWaitObjects(CryptoPP::WaitObjectContainer&, bool, CryptoPP::CallStack const&) override {}
    unsigned int GetMaxWaitObjectCount() const override { return 0; }

    RecordingTarget target;

private:
    std::vector<std::string>& log_;
};

// The server side accepts "pipe" and "refused" channels (the latter refuses in AcceptOpen).
struct PipeOpener : ChannelOpenHandler {
    PipeOpener(SSH::Manager& manager, std::vector<std::string>& log) : manager(manager), log(log) {}
    SSH::Channel* CreateChannel(const std::string& type, CryptoPP::BufferedTransformation&) override
    {
        if (type != "pipe" && type != "refused") return nullptr;
        return new PipeChannel(manager, log, type, 1000);
    }
    SSH::Manager& manager;
    std::vector<std::string>& log;
};

// The logs outlive the managers, whose channels write into them when they are deleted.
struct ChannelLogs {
    std::vector<std::string> clientLog, serverLog;
};

struct ChannelPair : ChannelLogs, ManagerPair {
    explicit ChannelPair(std::uint32_t maxQueuedMessages = 100)
        : ManagerPair(maxQueuedMessages), opener(server.manager, serverLog)
    {
        SendPassword("bob", "secret");
        server.manager.AddChannelOpenHandler(&opener);
    }
    ~ChannelPair() { server.manager.RemoveChannelOpenHandler(&opener); }
    PipeChannel& Open(const std::string& type, std::uint32_t maxPacket = 32768)
    {
        auto* channel = new PipeChannel(client.manager, clientLog, type, 4000, maxPacket);
        client.manager.AddChannel(channel);
        client.manager.OpenChannel(*channel);
        Run();
        return *channel;
    }
    void Run()
    {
        for (int i = 0; i < 30; ++i) {
            client.manager.PumpChannels();
            server.manager.PumpChannels();
            Exchange(client, server);
        }
    }
    PipeOpener opener;
};

}  // namespace

TEST(ManagerChannels, DataBothWaysWithinWindowsThenEofAndClose)
{
    ChannelPair p;
    PipeChannel& client = p.Open("pipe");
    ASSERT_EQ(client.ChannelState(), SSH::Channel::Open);
    EXPECT_EQ(client.SendWindow(), 1000u);
    auto* server = dynamic_cast<PipeChannel*>(p.server.manager.ChannelByNumber(client.RemoteNumber()));
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->RemoteNumber(), client.LocalNumber());

    // Five times the server's window: only window adjusts let it all through, and an
    // overrun would end the connection.
    std::string upload(5000, '\0');
    for (std::size_t i = 0; i < upload.size(); ++i) upload[i] = static_cast<char>('a' + i % 26);
    const std::string toServer = SSH::ChannelNumberToString(client.LocalNumber());
    const std::string toClient = SSH::ChannelNumberToString(server->LocalNumber());
    p.client.manager.ChannelPut(toServer, reinterpret_cast<const CryptoPP::byte*>(upload.data()), upload.size());
    p.server.manager.ChannelPut(toClient, reinterpret_cast<const CryptoPP::byte*>("pong"), 4);
    p.Run();
    EXPECT_EQ(server->target.received, upload);
    EXPECT_EQ(client.target.received, "pong");
    EXPECT_EQ(client.BytesSent(), 5000u);

    // The client ends its side: EOF and CLOSE go out, the server answers with its own, and
    // both tables are empty again.
    p.client.manager.ChannelMessageSeriesEnd(toServer, -1, true);
    p.Run();
    EXPECT_FALSE(p.client.manager.HasChannels());
    EXPECT_FALSE(p.server.manager.HasChannels());
    EXPECT_EQ(p.serverLog, (std::vector<std::string>{"pipe deleted, received " + upload}));
    EXPECT_EQ(p.clientLog, (std::vector<std::string>{"pipe deleted, received pong"}));
    EXPECT_EQ(p.client.state.TransportStateNumber(), SSH::TransportServiceRunning);
}

// A window larger than the hold limit (1 MiB here) is the peer's to fill while our re-exchange
// holds its messages: that is no overflow.
TEST(ManagerChannels, DataWithinTheWindowsIsHeldDuringAReexchangeBeyondTheQueueLimit)
{
    ChannelPair p(1000);
    auto* client = new PipeChannel(p.client.manager, p.clientLog, "pipe", 2u << 20);
    p.client.manager.AddChannel(client);
    p.client.manager.OpenChannel(*client);
    p.Run();
    ASSERT_EQ(client->ChannelState(), SSH::Channel::Open);
    auto* server = p.server.manager.ChannelByNumber(client->RemoteNumber());
    ASSERT_NE(server, nullptr);
    ASSERT_EQ(server->SendWindow(), 2u << 20);

    p.client.manager.SendKexInit(p.client.kexInit, false);
    const std::string download(1536 * 1024, 'd');
    p.server.manager.ChannelPut(SSH::ChannelNumberToString(server->LocalNumber()),
                                reinterpret_cast<const CryptoPP::byte*>(download.data()), download.size());
    for (int i = 0; i < 200 && server->QueuedOutgoingBytes() != 0; ++i) p.server.manager.PumpChannels();
    ASSERT_EQ(server->QueuedOutgoingBytes(), 0u);
    Exchange(p.client, p.server);
    p.Run();
    EXPECT_EQ(p.client.state.TransportStateNumber(), SSH::TransportServiceRunning);
    EXPECT_EQ(p.client.state.KexCount(), 2u);
    EXPECT_EQ(client->target.received.size(), download.size());
}

TEST(ManagerChannels, RefusedOpensCarryTheirReasonAndKeepTheConnection)
{
    struct Case {
        const char* type;
        std::uint32_t maxPacket;
        const char* expected;
    } cases[] = {
        {"x11", 32768, "open failed 3 channel type not supported en"},
        {"refused", 32768, "open failed 2 refused here en"},
        {"pipe", 0, "open failed 1 invalid max packet size en"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        ChannelPair p;
        p.Open(c.type, c.maxPacket);
        EXPECT_FALSE(p.client.manager.HasChannels());
        EXPECT_FALSE(p.server.manager.HasChannels());
        ASSERT_FALSE(p.clientLog.empty());
        EXPECT_EQ(p.clientLog.front(), c.expected);
        EXPECT_EQ(p.client.state.TransportStateNumber(), SSH::TransportServiceRunning);
        // The connection still carries channels.
        EXPECT_EQ(p.Open("pipe").ChannelState(), SSH::Channel::Open);
    }
}

TEST(ManagerChannels, MessagesAreTakenOrRefusedByTheChannelState)
{
    std::vector<std::string> log;
    auto openChannel = [&](DirectManager& d) {
        d.auth.state = UserAuthState::Success;
        auto* channel = new PipeChannel(d.manager, log, "pipe", 1000);
        d.manager.AddChannel(channel);
        channel->SetChannelState(SSH::Channel::Open);
        return channel;
    };
    {
        DirectManager d;
        openChannel(d);
        EXPECT_EQ(DisconnectOf([&] { d.Put(Message({Byte(94), U32(5), Str("x")})); }),
                  std::make_pair(2u, std::string("unrecognized channel number in SSH_MSG_CHANNEL_DATA")));
    }
    {
        // After the peer's EOF and CLOSE a window adjust is still taken; EOF is not.
        DirectManager d;
        SSH::Channel* channel = openChannel(d);
        const std::uint32_t window = channel->SendWindow();
        d.Put(Message({Byte(96), U32(0)}));
        d.Put(Message({Byte(97), U32(0)}));
        d.Put(Message({Byte(93), U32(0), U32(500)}));
        EXPECT_EQ(channel->SendWindow(), window + 500);
        EXPECT_EQ(DisconnectOf([&] { d.Put(Message({Byte(96), U32(0)})); }),
                  std::make_pair(2u, std::string("unexpected channel eof message")));
    }
    {
        // A refused request is answered with FAILURE, but not once our CLOSE is out.
        DirectManager d;
        SSH::Channel* channel = openChannel(d);
        channel->SetRemoteNumber(7);
        d.Sent();
        d.Put(Message({Byte(98), U32(0), Str("env"), Bool(true)}));
        EXPECT_EQ(d.Sent(), (std::vector<std::string>{Message({Byte(100), U32(7)})}));
        channel->SendClose();
        d.Sent();
        d.Put(Message({Byte(98), U32(0), Str("env"), Bool(true)}));
        EXPECT_TRUE(d.Sent().empty());
    }
    {
        // Numbers are reused: after channel 0 goes, the next channel is 0 again.
        DirectManager d;
        SSH::Channel* first = openChannel(d);
        SSH::Channel* second = openChannel(d);
        EXPECT_EQ(second->LocalNumber(), 1u);
        first->SetChannelState(SSH::Channel::OpenSent);
        d.Put(Message({Byte(92), U32(0), U32(2), Str("no"), Str("en")}));
        EXPECT_EQ(openChannel(d)->LocalNumber(), 0u);
        EXPECT_EQ(second->LocalNumber(), 1u);
    }
}

// In one pass every channel that can send does, a quantum per turn, until the pass's budget
// of 256 KiB is spent: much queued on one channel keeps neither a small one nor an EOF waiting,
// and a channel alone sends the whole budget.
TEST(ManagerChannels, APassLetsEveryReadyChannelSendWithinItsBudget)
{
    const std::uint64_t budget = 256 * 1024;
    std::vector<std::string> log;
    DirectManager d;
    d.auth.state = UserAuthState::Success;
    auto open = [&](std::size_t bytes, bool eof) {
        auto* channel = new PipeChannel(d.manager, log, "pipe", 1000);
        d.manager.AddChannel(channel);
        channel->SetChannelState(SSH::Channel::Open);
        channel->SetSendWindow(0xFFFFFFFFu);
        const std::string data(bytes, 'x');
        d.manager.ChannelPut(SSH::ChannelNumberToString(channel->LocalNumber()),
                             reinterpret_cast<const CryptoPP::byte*>(data.data()), data.size());
        if (eof)
            d.manager.ChannelMessageEnd(SSH::ChannelNumberToString(channel->LocalNumber()));
        return channel;
    };
    SSH::Channel* big = open(1 << 20, false);
    SSH::Channel* small = open(10000, false);
    SSH::Channel* ending = open(3, true);
    d.manager.PumpChannels();
    EXPECT_EQ(small->BytesSent(), 10000u);
    EXPECT_EQ(ending->BytesSent(), 3u);
    EXPECT_TRUE(ending->EofSent());
    EXPECT_EQ(big->BytesSent() + small->BytesSent() + ending->BytesSent(), budget);
    d.manager.PumpChannels();
    EXPECT_EQ(big->BytesSent(), 2 * budget - 10003);
    // The window still bounds each channel.
    SSH::Channel* narrow = open(50000, false);
    narrow->SetSendWindow(20000);
    d.manager.PumpChannels();
    EXPECT_EQ(narrow->BytesSent(), 20000u);
    EXPECT_EQ(big->BytesSent(), 3 * budget - 10003 - 20000);
}

TEST(ManagerChannels, SendQuantumFollowsTheMeasuredSpeed)
{
    struct Meter : ConnectionMeter {
        unsigned BufferedBytes() override { return 0; }
        double CurrentSpeed() override { return speed; }
        double speed = 0;
    };
    struct Case {
        bool metered;
        double speed;
        int channels;
        std::uint32_t quantum;
    } cases[] = {
        {false, 0, 1, 8206},   {true, 10000, 1, 10240 + 14}, {true, 10000, 2, 2048 + 14},
        {true, 0, 1, 2048 + 14}, {true, 1e12, 1, 16128 + 14},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.speed);
        std::vector<std::string> log;
        DirectManager d;
        Meter meter;
        meter.speed = c.speed;
        if (c.metered) d.manager.SetConnectionMeter(&meter);
        for (int i = 0; i < c.channels; ++i) d.manager.AddChannel(new PipeChannel(d.manager, log, "pipe", 1000));
        CryptoPP::WaitObjectContainer container;
        d.manager.GetWaitObjects(container, CryptoPP::CallStack("test", nullptr));
        EXPECT_EQ(d.manager.SendQuantum(), c.quantum);
    }
}

namespace {

::testing::Environment* const winsock = ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

// The client's end: a pipe whose open names the target.
class DirectTcpipPipe : public PipeChannel {
public:
    DirectTcpipPipe(SSH::ChannelHost& host, std::vector<std::string>& log, std::uint32_t port)
        : PipeChannel(host, log, "direct-tcpip", 0x8000), port_(port)
    {
    }
    void WriteOpenData(SSH::ChannelHost&, CryptoPP::BufferedTransformation& output) override
    {
        SSH::EncodeString(output, "127.0.0.1");
        SSH::EncodeUint32(output, port_);
        SSH::EncodeString(output, "127.0.0.1");
        SSH::EncodeUint32(output, 40000);
    }

private:
    std::uint32_t port_;
};

// A "direct-tcpip" channel opened by the client end, which the server end's responder relays
// to a local listener.
struct ForwardedChannel {
    ForwardedChannel() : opener(p.server.manager), client(new DirectTcpipPipe(p.client.manager, p.clientLog, target.port))
    {
        p.server.manager.AddChannelOpenHandler(&opener);
        p.client.manager.AddChannel(client);
        p.client.manager.OpenChannel(*client);
    }
    ~ForwardedChannel() { p.server.manager.RemoveChannelOpenHandler(&opener); }

    Listener target;
    ChannelPair p;
    ResponderOpener opener;
    DirectTcpipPipe* client;  // owned by the client's manager
};

}  // namespace

TEST(ManagerChannels, ServerResponderRelaysToALocalEchoServer)
{
    ForwardedChannel f;
    Listener& target = f.target;
    ChannelPair& p = f.p;
    DirectTcpipPipe* client = f.client;

    Socket echo;
    bool sent = false;
    for (int round = 0; round < 500 && client->target.received.size() < 5; ++round) {
        p.client.manager.Poll();
        p.server.manager.Poll();
        p.Run();
        if (!echo.IsValid()) target.socket.Accept(echo, nullptr, nullptr);
        if (echo.IsValid()) {
            CryptoPP::byte buffer[64];
            const long n = echo.Receive(buffer, sizeof buffer);
            if (n > 0) echo.Send(buffer, static_cast<std::size_t>(n));
        }
        if (!sent && client->ChannelState() == SSH::Channel::Open) {
            p.client.manager.ChannelPut(SSH::ChannelNumberToString(client->LocalNumber()),
                                        reinterpret_cast<const CryptoPP::byte*>("hello"), 5);
            sent = true;
        }
        Sleep(5);
    }
    EXPECT_EQ(client->ChannelState(), SSH::Channel::Open);
    EXPECT_EQ(client->target.received, "hello");
}

namespace {

// The TCP end of a forwarded connection, played by the test without blocking.
struct TcpPeer {
    void AcceptFrom(Listener& listener)
    {
        if (!socket.IsValid()) listener.socket.Accept(socket, nullptr, nullptr);
    }
    void Read()
    {
        CryptoPP::byte buffer[256];
        for (long n; socket.IsValid() && (n = socket.Receive(buffer, sizeof buffer)) != -1;) {
            if (n == 0) {
                eof = true;
                return;
            }
            received.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
        }
    }
    void Send(const std::string& text)
    {
        ASSERT_EQ(socket.Send(reinterpret_cast<const CryptoPP::byte*>(text.data()), text.size()), text.size());
    }
    Socket socket;
    std::string received;
    bool eof = false;
};

}  // namespace

// The end of a forwarded connection travels both ways, whichever side ends first: the SSH
// peer's EOF half-closes the TCP side after its data, the TCP peer's end becomes EOF after its
// data, and the channel closes on both ends once both directions are done.
TEST(ManagerChannels, AForwardedConnectionEndsInBothDirections)
{
    for (const bool sshEndsFirst : {true, false}) {
        SCOPED_TRACE(sshEndsFirst ? "the SSH side ends first" : "the TCP side ends first");
        ForwardedChannel f;
        Listener& target = f.target;
        ChannelPair& p = f.p;
        DirectTcpipPipe* client = f.client;
        const std::string toServer = SSH::ChannelNumberToString(client->LocalNumber());

        TcpPeer tcp;
        bool sshEnded = false, tcpEnded = false;
        for (int round = 0; round < 500 && (p.client.manager.HasChannels() || p.server.manager.HasChannels()); ++round) {
            p.client.manager.Poll();
            p.server.manager.Poll();
            p.Run();
            tcp.AcceptFrom(target);
            tcp.Read();
            const bool clientOpen = p.client.manager.HasChannels() && client->ChannelState() == SSH::Channel::Open;
            if (!sshEnded && clientOpen && (sshEndsFirst || client->EofReceived())) {
                p.client.manager.ChannelPut2(toServer, reinterpret_cast<const CryptoPP::byte*>("from ssh"), 8, 1, true);
                sshEnded = true;
            }
            if (!tcpEnded && tcp.socket.IsValid() && (!sshEndsFirst || tcp.eof)) {
                tcp.Send("from tcp");
                if (sshEndsFirst)
                    tcp.socket.CloseSocket();
                else
                    shutdown(tcp.socket.GetSocket(), SD_SEND);
                tcpEnded = true;
            }
            Sleep(5);
        }
        EXPECT_EQ(tcp.received, "from ssh");
        EXPECT_TRUE(tcp.eof);
        EXPECT_FALSE(p.client.manager.HasChannels());
        EXPECT_FALSE(p.server.manager.HasChannels());
        EXPECT_EQ(p.clientLog, (std::vector<std::string>{"direct-tcpip deleted, received from tcp"}));
    }
}
