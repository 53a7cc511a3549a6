// The SSH protocol's message numbers under their standard names, and the named steps of the
// transport's two progress numbers.
#pragma once

#include <cstdint>

namespace SSH {

// Names as the protocol documents spell them, so that a reader can look each one up.
enum MessageNumber : std::uint8_t {
    // Transport layer, generic.
    SSH_MSG_DISCONNECT = 1,
    SSH_MSG_IGNORE = 2,
    SSH_MSG_UNIMPLEMENTED = 3,
    SSH_MSG_DEBUG = 4,
    SSH_MSG_SERVICE_REQUEST = 5,
    SSH_MSG_SERVICE_ACCEPT = 6,
    // Algorithm negotiation.
    SSH_MSG_KEXINIT = 20,
    SSH_MSG_NEWKEYS = 21,
    // Key-exchange method messages: the same number means different messages in different
    // methods (and, in group exchange, in different phases).
    SSH_MSG_KEX_FIRST = 30,
    SSH_MSG_KEXDH_INIT = 30,
    SSH_MSG_KEXDH_REPLY = 31,
    SSH_MSG_KEX_DH_GEX_REQUEST_OLD = 30,
    SSH_MSG_KEX_DH_GEX_GROUP = 31,
    SSH_MSG_KEX_DH_GEX_INIT = 32,
    SSH_MSG_KEX_DH_GEX_REPLY = 33,
    SSH_MSG_KEX_DH_GEX_REQUEST = 34,
    SSH_MSG_KEX_LAST = 49,
    // User authentication.
    SSH_MSG_USERAUTH_REQUEST = 50,
    SSH_MSG_USERAUTH_FAILURE = 51,
    SSH_MSG_USERAUTH_SUCCESS = 52,
    SSH_MSG_USERAUTH_BANNER = 53,
    // Method-specific answers (60 to 79): the one number is read after the method last requested.
    SSH_MSG_USERAUTH_PK_OK = 60,
    SSH_MSG_USERAUTH_PASSWD_CHANGEREQ = 60,
    SSH_MSG_USERAUTH_METHOD_FIRST = 60,
    SSH_MSG_USERAUTH_METHOD_LAST = 79,
    // Connection layer.
    SSH_MSG_GLOBAL_REQUEST = 80,
    SSH_MSG_REQUEST_SUCCESS = 81,
    SSH_MSG_REQUEST_FAILURE = 82,
    SSH_MSG_CHANNEL_OPEN = 90,
    SSH_MSG_CHANNEL_OPEN_CONFIRMATION = 91,
    SSH_MSG_CHANNEL_OPEN_FAILURE = 92,
    SSH_MSG_CHANNEL_WINDOW_ADJUST = 93,
    SSH_MSG_CHANNEL_DATA = 94,
    SSH_MSG_CHANNEL_EXTENDED_DATA = 95,
    SSH_MSG_CHANNEL_EOF = 96,
    SSH_MSG_CHANNEL_CLOSE = 97,
    SSH_MSG_CHANNEL_REQUEST = 98,
    SSH_MSG_CHANNEL_SUCCESS = 99,
    SSH_MSG_CHANNEL_FAILURE = 100,
};

// The transport state number, moved mostly by what the peer sends.
enum TransportProgress : int {
    TransportStart = 0,                // the peer's identification line is awaited
    TransportPeerVersionTaken = 1,     // the peer's identification line is taken
    TransportKexRunning = 2,           // the peer's KEXINIT is taken; a key exchange runs
    TransportNewKeysSent = 3,          // our NEWKEYS is sent; the peer's is awaited
    TransportServerAwaitsService = 4,  // new keys both ways; a server awaits the service request
    TransportClientAwaitsService = 5,  // new keys both ways; a client awaits the service accept
    TransportServiceRunning = 6,       // user authentication and the connection layer run
    TransportDisconnected = 7,         // DISCONNECT sent or received
};

// The kex state number, moved mostly by what we send.
enum KexProgress : int {
    KexStart = 0,           // our identification line is not sent
    KexVersionSent = 1,     // our identification line is sent
    KexInitSent = 2,        // our KEXINIT is sent
    KexNewKeysSent = 3,     // our NEWKEYS is sent, before the service runs
    KexServiceRunning = 4,  // our NEWKEYS is sent and the service runs
    KexDisconnected = 5,
};

}  // namespace SSH
