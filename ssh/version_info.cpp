#include "ssh/version_info.h"

#include "ssh/exceptions.h"
#include "ssh/wire.h"

#include <cryptopp/cryptlib.h>

#include <algorithm>

using CryptoPP::InvalidDataFormat;

namespace {

const std::size_t MaxOurLineLength = 253;  // 255 with CR LF

[[noreturn]] void ProtocolError(const std::string& text)
{
    throw SSH::CauseToDisconnect(SSH::DisconnectProtocolError, text, "en");
}

}  // namespace

VersionInfo::VersionInfo(const std::string& appNameAndVersion, bool altSoftwareVersion)
{
    for (char c : appNameAndVersion) {
        if (static_cast<unsigned char>(c) < 32 || static_cast<unsigned char>(c) > 126)
            throw InvalidDataFormat("appNameAndVersion contains invalid characters");
    }
    const std::size_t first = appNameAndVersion.find_first_not_of(' ');
    if (first == std::string::npos)
        throw InvalidDataFormat("appNameAndVersion must not be empty");
    const std::size_t last = appNameAndVersion.find_last_not_of(' ');
    protocolVersion_ = "2.0";
    softwareVersion_ = altSoftwareVersion ? "9.99" : "1.61";
    comments_ = "dadidi: " + appNameAndVersion.substr(first, last - first + 1);
    line_ = "SSH-" + protocolVersion_ + "-" + softwareVersion_ + " " + comments_;
    if (line_.size() > MaxOurLineLength)
        throw InvalidDataFormat("appNameAndVersion is too large");
}

VersionInfo::VersionInfo(const std::string& protocolVersion, const std::string& softwareVersion,
                         const std::string& comments, const std::string& line)
    : protocolVersion_(protocolVersion), softwareVersion_(softwareVersion), comments_(comments), line_(line)
{
}

namespace SSH {

bool ParsePeerVersion(const std::string& received, VersionInfo& version)
{
    if (received.compare(0, 4, "SSH-") != 0)
        return false;
    const std::string line = TrimTrailingWhitespace(received);
    const std::size_t dash = std::min(line.find('-', 4), line.size());
    const std::size_t space = std::min(line.find(' ', dash), line.size());
    const std::string protocol = line.substr(4, dash - 4);
    const std::string software = dash < line.size() ? line.substr(dash + 1, space - dash - 1) : std::string();
    const std::string comments = space < line.size() ? line.substr(space + 1) : std::string();
    const bool supported = protocol == "1.99" || (!protocol.empty() && protocol[0] >= '2' && protocol[0] <= '9');
    if (!supported)
        ProtocolError("protocol version not supported");
    version = VersionInfo(protocol, software, comments, line);
    return true;
}

}  // namespace SSH
