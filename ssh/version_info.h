// The identification line that opens an SSH connection: "SSH-" protocol "-" software
// " " comments. Our own line is built and checked here, and the peer's line parsed.
#pragma once

#include <string>

// One identification line: "SSH-" protocol "-" software " " comments.
class VersionInfo {
public:
    VersionInfo() = default;
    // Our own line: "SSH-2.0-1.61 dadidi: " and the application text ("9.99" when the flag
    // is set). InvalidDataFormat for a text that is empty, holds characters outside 32..126
    // or makes the line longer than 253 characters.
    VersionInfo(const std::string& appNameAndVersion, bool altSoftwareVersion);
    VersionInfo(const std::string& protocolVersion, const std::string& softwareVersion, const std::string& comments,
                const std::string& line);

    const std::string& ProtocolVersion() const { return protocolVersion_; }
    const std::string& SoftwareVersion() const { return softwareVersion_; }
    const std::string& Comments() const { return comments_; }
    const std::string& Line() const { return line_; }

private:
    std::string protocolVersion_;
    std::string softwareVersion_;
    std::string comments_;
    std::string line_;
};

namespace SSH {

// The peer's identification line as received (line end included): false when it does not
// begin with "SSH-" (a text line before the identification). CauseToDisconnect "protocol
// version not supported" unless the version is "1.99" or begins with a digit from 2 to 9.
bool ParsePeerVersion(const std::string& received, VersionInfo& version);

}  // namespace SSH
