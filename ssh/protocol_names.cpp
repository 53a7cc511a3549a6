#include "ssh/protocol_names.h"

#include "ssh/message_numbers.h"

#include <iterator>

namespace SSH {

namespace {

std::string Unrecognized(long long number) { return std::to_string(number) + " (unrecognized)"; }

// The name at table[number - first] when the number lies inside the table.
template <std::size_t N>
bool LookUp(const char* const (&table)[N], int first, long long number, std::string& name)
{
    if (number < first || number >= first + static_cast<long long>(N)) return false;
    name = table[number - first];
    return true;
}

}  // namespace

std::string MessageName(unsigned char messageNumber)
{
    static const char* const transport[] = {"SSH_MSG_DISCONNECT",      "SSH_MSG_IGNORE",
                                             "SSH_MSG_UNIMPLEMENTED",   "SSH_MSG_DEBUG",
                                             "SSH_MSG_SERVICE_REQUEST", "SSH_MSG_SERVICE_ACCEPT"};
    static const char* const algorithms[] = {"SSH_MSG_KEXINIT", "SSH_MSG_NEWKEYS"};
    static const char* const userauth[] = {"SSH_MSG_USERAUTH_REQUEST", "SSH_MSG_USERAUTH_FAILURE",
                                           "SSH_MSG_USERAUTH_SUCCESS", "SSH_MSG_USERAUTH_BANNER"};
    static const char* const global[] = {"SSH_MSG_GLOBAL_REQUEST", "SSH_MSG_REQUEST_SUCCESS",
                                         "SSH_MSG_REQUEST_FAILURE"};
    static const char* const channel[] = {
        "SSH_MSG_CHANNEL_OPEN",          "SSH_MSG_CHANNEL_OPEN_CONFIRMATION", "SSH_MSG_CHANNEL_OPEN_FAILURE",
        "SSH_MSG_CHANNEL_WINDOW_ADJUST", "SSH_MSG_CHANNEL_DATA",              "SSH_MSG_CHANNEL_EXTENDED_DATA",
        "SSH_MSG_CHANNEL_EOF",           "SSH_MSG_CHANNEL_CLOSE",             "SSH_MSG_CHANNEL_REQUEST",
        "SSH_MSG_CHANNEL_SUCCESS",       "SSH_MSG_CHANNEL_FAILURE"};
    const int n = messageNumber;
    std::string name;
    if (LookUp(transport, SSH_MSG_DISCONNECT, n, name) || LookUp(algorithms, SSH_MSG_KEXINIT, n, name) ||
        LookUp(userauth, SSH_MSG_USERAUTH_REQUEST, n, name) || LookUp(global, SSH_MSG_GLOBAL_REQUEST, n, name) ||
        LookUp(channel, SSH_MSG_CHANNEL_OPEN, n, name))
        return name;
    // The method-specific ranges have generic names.
    if (n >= SSH_MSG_KEX_FIRST && n <= SSH_MSG_KEX_LAST)
        return "SSH_MSG_KEX_" + std::to_string(n);
    if (n >= SSH_MSG_USERAUTH_METHOD_FIRST && n <= SSH_MSG_USERAUTH_METHOD_LAST)
        return "SSH_MSG_USERAUTH_" + std::to_string(n);
    return Unrecognized(n);
}

std::string DisconnectReasonName(int reason)
{
    static const char* const names[] = {"SSH_DISCONNECT_HOST_NOT_ALLOWED_TO_CONNECT",
                                        "SSH_DISCONNECT_PROTOCOL_ERROR",
                                        "SSH_DISCONNECT_KEY_EXCHANGE_FAILED",
                                        "SSH_DISCONNECT_RESERVED",
                                        "SSH_DISCONNECT_MAC_ERROR",
                                        "SSH_DISCONNECT_COMPRESSION_ERROR",
                                        "SSH_DISCONNECT_SERVICE_NOT_AVAILABLE",
                                        "SSH_DISCONNECT_PROTOCOL_VERSION_NOT_SUPPORTED",
                                        "SSH_DISCONNECT_HOST_KEY_NOT_VERIFIABLE",
                                        "SSH_DISCONNECT_CONNECTION_LOST",
                                        "SSH_DISCONNECT_BY_APPLICATION",
                                        "SSH_DISCONNECT_TOO_MANY_CONNECTIONS",
                                        "SSH_DISCONNECT_AUTH_CANCELLED_BY_USER",
                                        "SSH_DISCONNECT_NO_MORE_AUTH_METHODS_AVAILABLE",
                                        "SSH_DISCONNECT_ILLEGAL_USER_NAME"};
    std::string name;
    return LookUp(names, 1, reason, name) ? name : Unrecognized(reason);
}

std::string ChannelOpenFailureName(int reason)
{
    static const char* const names[] = {"SSH_OPEN_ADMINISTRATIVELY_PROHIBITED", "SSH_OPEN_CONNECT_FAILED",
                                        "SSH_OPEN_UNKNOWN_CHANNEL_TYPE", "SSH_OPEN_RESOURCE_SHORTAGE"};
    std::string name;
    return LookUp(names, 1, reason, name) ? name : Unrecognized(reason);
}

}  // namespace SSH

const char* KeepAliveRequestName() { return "keep-alive@orvidex.com"; }
