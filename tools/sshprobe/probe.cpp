#include "tools/sshprobe/probe.h"

#include "ssh/exceptions.h"
#include "ssh/protocol_names.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace probe {

std::string Arguments::Value(const std::string& option)
{
    if (Done()) throw UsageError(option + " needs a value");
    return args_[next_++];
}

std::uint32_t Arguments::Number(const std::string& option, std::uint32_t low, std::uint32_t high)
{
    const std::string text = Value(option);
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || *end || text[0] == '-' || value < low || value > high)
        throw UsageError(option + " takes a number from " + std::to_string(low) + " to " + std::to_string(high) +
                         ", not " + text);
    return static_cast<std::uint32_t>(value);
}

void SplitPair(const std::string& option, const std::string& text, std::string& first, std::string& second)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        throw UsageError(option + " takes A:B, not " + text);
    first = text.substr(0, colon);
    second = text.substr(colon + 1);
}

void Event(const std::string& line)
{
    static std::mutex lock;
    std::lock_guard<std::mutex> hold(lock);
    std::fprintf(stderr, "sshprobe: %s\n", line.c_str());
    std::fflush(stderr);
}

void ByteStream::Fill(CryptoPP::byte* out, std::size_t length)
{
    // xorshift64*: fast, and the same on both ends of a transfer.
    for (std::size_t i = 0; i < length; ++i) {
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        out[i] = static_cast<CryptoPP::byte>((state_ * 0x2545F4914F6CDD1Dull) >> 56);
    }
}

bool ConnectionSettings::Read(const std::string& option, Arguments& args)
{
    if (option == "--kex") {
        kexList = args.Value(option);
    } else if (option == "--cipher") {
        cipherList = args.Value(option);
    } else if (option == "--mac") {
        macList = args.Value(option);
    } else if (option == "--compression") {
        compressionList = args.Value(option);
    } else if (option == "--keepalive") {
        keepAliveSeconds = args.Number(option, 0, 86400);
        keepAliveSet = true;
    } else if (option == "--rekey-bytes") {
        rekeyBytes = args.Number(option, 1, 0xFFFFFFFFu);
    } else if (option == "--kex-limit") {
        kexLimitSeconds = args.Number(option, 0, 86400);
        kexLimitSet = true;
    } else if (option == "--login-limit") {
        loginLimitSeconds = args.Number(option, 0, 86400);
        loginLimitSet = true;
    } else {
        return false;
    }
    return true;
}

void ApplyKexList(const ConnectionSettings& settings, KexHandler& handler)
{
    if (!settings.kexList.empty()) handler.SetKexAlgorithms(settings.kexList);
}

ProbeConnection::ProbeConnection(TransportState& transport, UserAuthState& userAuth,
                                 const ConnectionSettings& settings, std::string prefix)
    : ManagerWithLoop(transport, userAuth), prefix_(std::move(prefix))
{
    if (!settings.kexList.empty()) SetKexList(settings.kexList);
    if (!settings.cipherList.empty()) SetCipherList(settings.cipherList, KexInit::BothDirections);
    if (!settings.macList.empty()) SetMacList(settings.macList, KexInit::BothDirections);
    if (!settings.compressionList.empty()) SetCompressionList(settings.compressionList, KexInit::BothDirections);
    if (settings.keepAliveSet) keepAliveSeconds_ = settings.keepAliveSeconds;
    if (settings.rekeyBytes != 0) reexchangeBytes_ = settings.rekeyBytes;
    if (settings.kexLimitSet) SetKeyExchangeLimit(settings.kexLimitSeconds);
    if (settings.loginLimitSet) SetLoginLimit(settings.loginLimitSeconds);
}

void ProbeConnection::OnKeyExchangeComplete(std::uint32_t count, int reason)
{
    TransportState& t = Transport();
    Event(prefix_ + "key exchange " + std::to_string(count) + " (reason " + std::to_string(reason) +
          "): kex " + t.ChooseKexAlgorithm() + ", host key " + t.ChooseHostKeyAlgorithm() + ", cipher " +
          t.ChooseCipher(false) + "/" + t.ChooseCipher(true) + ", mac " + t.ChooseMac(false) + "/" +
          t.ChooseMac(true) + ", compression " + t.ChooseCompression(false) + "/" + t.ChooseCompression(true));
}

void ProbeConnection::OnUnimplemented(std::uint32_t sequence)
{
    Event(prefix_ + "peer answered packet " + std::to_string(sequence) + " with UNIMPLEMENTED");
}

void ProbeConnection::OnKeepAliveDue()
{
    Event(prefix_ + "keep-alive due " + (UserAuth().state == UserAuthState::Success ? "after" : "before") + " login");
}

std::string ProbeConnection::Run(Socket& connected, bool& endedByPeer)
{
    endedByPeer = false;
    SocketSource source;
    source.AccessSocket().AttachSocket(connected.DetachSocket(), true);
    SocketSink sink;
    sink.ShareSocketOf(source);
    const auto described = [this](const char* who) {
        return std::string(who) + " disconnected, reason " + std::to_string(DisconnectReason()) + " (" +
               SSH::DisconnectReasonName(static_cast<int>(DisconnectReason())) + "): " + DisconnectDescription();
    };
    try {
        DoLoop(source.AccessSocket(), source, &sink, VersionInfo("sshprobe", false));
    } catch (const SSH::RemoteNotResponding&) {
        return "peer not responding";
    } catch (const SSH::RemoteDisconnect&) {
        if (DisconnectOriginOf() == PeerDisconnected) {
            endedByPeer = true;
            return described("peer");
        }
        if (DisconnectOriginOf() == WeDisconnected) return described("we");
        endedByPeer = true;
        return "peer closed the connection";
    } catch (const SSH::CauseToDisconnect&) {
        return described("we");
    } catch (const std::exception& e) {
        return std::string("failed: ") + e.what();
    }
    return "ended";
}

}  // namespace probe
