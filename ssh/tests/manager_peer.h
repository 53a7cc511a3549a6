// Two connection managers in one process, joined through their packet encoders and decoders
// in memory: each recorded hook call is a line in a shared list.
#pragma once

#include "ssh/dh_kex_handler.h"
#include "ssh/manager.h"
#include "ssh/packet_codec.h"
#include "ssh/protocol_names.h"
#include "ssh/wire.h"
#include "key_fixtures.h"
#include "transport_peer.h"

#include <cryptopp/filters.h>
#include <cryptopp/queue.h>

#include <memory>
#include <string>
#include <vector>

class AcceptingVerifier : public HostKeyVerifier {
public:
    bool Verify(const std::string&, const std::string&, bool) override { return true; }
};

// Every line the manager writes to its log.
class LineLog : public MessageQuietLog {
public:
    void LogNotice(const std::string& line) override { lines.push_back(line); }
    void LogQueue(const std::string& line) override { lines.push_back(line); }
    bool IsQueueLogOn() override { return true; }
    void LogKex(const std::string& line) override { lines.push_back(line); }
    void LogWarning(const std::string& line) override { lines.push_back(line); }

    bool Has(const std::string& line) const
    {
        for (const std::string& l : lines)
            if (l == line) return true;
        return false;
    }
    std::vector<std::string> lines;
};

// Server: offers "password", takes the password "secret", and rejects everything else.
class TestUserAuth : public UserAuthState {
public:
    TestUserAuth() { methodsThatCanContinue = "password,publickey"; }
    // A "publickey" request is taken for the one key in `acceptedKeyBlob`.
    void HandleRequest(SSH::Manager& manager, const std::string& method,
                       CryptoPP::BufferedTransformation& request) override
    {
        bool flag;
        SSH::DecodeBoolean(request, flag);
        if (method == "publickey") {
            std::string algorithm, blob, signature;
            SSH::DecodeString(request, algorithm);
            SSH::DecodeString(request, blob);
            state = Failure;
            if (blob != acceptedKeyBlob || !SSH::Manager::CheckPublicKeyAlgorithm(algorithm, blob)) return;
            if (!flag) {
                publicKeyAlgorithm = algorithm;
                publicKeyBlob = blob;
                state = PublicKeyOk;
                return;
            }
            SSH::DecodeString(request, signature);
            if (manager.VerifyPublicKeyAuth(user, algorithm, blob, signature)) state = Success;
            return;
        }
        std::string password;
        SSH::DecodeString(request, password);
        state = password == "secret" ? Success : Failure;
    }
    void OnUserChanged(const std::string& user) override { events.push_back("user changed to " + user); }
    void OnRequestAfterSuccess(CryptoPP::BufferedTransformation&) override { events.push_back("after success"); }
    void OnStateChanged(SSH::Manager&) override { events.push_back("state " + std::to_string(state)); }
    std::vector<std::string> events;
    std::string acceptedKeyBlob;
};

class TestManager : public SSH::Manager {
public:
    TestManager(TransportState& transport, UserAuthState& auth, CryptoPP::BufferedTransformation* out)
        : Manager(transport, auth, out)
    {
    }
    unsigned MaxWaitObjects() override { return 4032; }
    unsigned GetConnectionMaxWaitObjectCount() const override { return 0; }
    SSH::Channel* CreateChannel(const std::string&, CryptoPP::BufferedTransformation&) override { return nullptr; }
    bool OnGlobalRequest(const std::string& name, bool, CryptoPP::BufferedTransformation&,
                         CryptoPP::ByteQueue& response) override
    {
        events.push_back("global request " + name);
        SSH::EncodeUint32(response, 2222);
        return name == "tcpip-forward";
    }
    void OnGlobalRequestResult(bool success) override
    {
        events.push_back(std::string("unmatched reply ") + (success ? "success" : "failure"));
    }
    void OnKexInitSent(std::uint32_t count, int reason) override
    {
        events.push_back("kexinit sent " + std::to_string(count) + " reason " + std::to_string(reason));
    }
    void OnKeyExchangeComplete(std::uint32_t count, int reason) override
    {
        events.push_back("kex complete " + std::to_string(count) + " reason " + std::to_string(reason));
    }
    void OnIgnore(std::size_t length) override { events.push_back("ignore " + std::to_string(length)); }
    void OnUnimplemented(std::uint32_t sequence) override
    {
        events.push_back("unimplemented " + std::to_string(sequence));
    }
    void OnBanner(const std::string& text, const std::string&) override { events.push_back("banner " + text); }
    std::vector<std::string> events;
};

class RecordingReplyHandler : public GlobalRequestHandler {
public:
    explicit RecordingReplyHandler(std::vector<std::string>& log, const std::string& name) : log_(log), name_(name) {}
    void OnReply(SSH::Manager&, bool success, CryptoPP::BufferedTransformation& data) override
    {
        std::uint32_t port = 0;
        if (data.MaxRetrievable() >= 4) SSH::DecodeUint32(data, port);
        log_.push_back(name_ + (success ? " success " : " failure ") + std::to_string(port));
    }
    void Release() override { log_.push_back(name_ + " released"); }

private:
    std::vector<std::string>& log_;
    std::string name_;
};

// One end: transport, key exchange, encoder towards a queue, decoder into the manager.
struct ManagerEnd {
    explicit ManagerEnd(bool client, std::uint32_t maxQueuedMessages = 100)
        : state(TestRng(), &log, 1 << 20, maxQueuedMessages, 6),
          handler(client ? new DhKexHandler(verifier) : new DhKexHandler),
          manager(state, auth, new PacketEncoder(state, new CryptoPP::ByteQueue)),
          decoder(state, new CryptoPP::Redirector(manager))
    {
        state.AddKexHandler(*handler);
        if (!client) state.AddSigner(DsaKey());
        kexInit.SetKexList(DhKexHandler::Group1Sha1Name());
        kexInit.SetHostKeyList("ssh-dss");
        kexInit.SetCipherList("aes128-cbc", KexInit::BothDirections);
        kexInit.SetMacList("hmac-sha1", KexInit::BothDirections);
        kexInit.SetCompressionList("zlib,none", KexInit::BothDirections);
    }
    void Start()
    {
        manager.SendVersion(VersionInfo("manager test", false));
        manager.SendKexInit(kexInit, false);
    }
    CryptoPP::BufferedTransformation& Wire() { return *manager.Output().AttachedTransformation(); }

    LineLog log;
    AcceptingVerifier verifier;
    TestUserAuth auth;
    TransportState state;
    std::unique_ptr<DhKexHandler> handler;
    KexInit kexInit;
    TestManager manager;
    PacketDecoder decoder;
};

// Moves bytes both ways until both ends are quiet.
inline void Exchange(ManagerEnd& a, ManagerEnd& b) { Pump(a, b); }

// A client and a server through key exchange and the service request.
struct ManagerPair {
    explicit ManagerPair(std::uint32_t maxQueuedMessages = 100)
        : client(true, maxQueuedMessages), server(false, maxQueuedMessages)
    {
        client.Start();
        server.Start();
        Exchange(client, server);
        client.manager.SendServiceRequest();
        Exchange(client, server);
    }
    // The client's password request.
    void SendPassword(const std::string& user, const std::string& password)
    {
        client.manager.RequestPasswordAuth(user, CryptoPP::ConstByteArrayParameter(password), false);
        Exchange(client, server);
    }

    ManagerEnd client;
    ManagerEnd server;
};
