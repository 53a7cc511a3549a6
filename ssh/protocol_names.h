// Symbolic names of SSH protocol numbers for trace lines and logs (RFC 4250), and the name
// of our keep-alive global request.
#pragma once

#include <string>

namespace SSH {

// Unknown numbers give the number in decimal followed by " (unrecognized)".
std::string MessageName(unsigned char messageNumber);
std::string DisconnectReasonName(int reason);
std::string ChannelOpenFailureName(int reason);

}  // namespace SSH

// "keep-alive@" and our domain; both ends of a connection built from this library send and
// recognise it.
const char* KeepAliveRequestName();
