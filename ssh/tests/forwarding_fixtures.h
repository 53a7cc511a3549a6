// The server's end of forwarded connections: channels that connect wherever the peer's open
// asks, counted as they connect.
#pragma once

#include "ssh/manager.h"
#include "ssh/tunnelling.h"

#include <string>

class ApprovingResponder : public SSH::TunnelingResponder {
public:
    // sendBuffer: the target socket's send buffer in bytes; 0 leaves the system's.
    ApprovingResponder(SSH::ChannelHost& host, int* connected = nullptr, int sendBuffer = 0)
        : TunnelingResponder(host, "direct-tcpip", true, 0x8000, 32768, 32768, 1.0), connected_(connected),
          sendBuffer_(sendBuffer)
    {
    }
    bool StartTargetProcessing(SSH::ChannelHost&) override { return true; }
    void OnTargetConnected(SSH::ChannelHost&) override
    {
        if (connected_) ++*connected_;
        if (sendBuffer_)
            setsockopt(m_connectingSocket.AccessSource().AccessSocket().GetSocket(), SOL_SOCKET, SO_SNDBUF,
                       reinterpret_cast<const char*>(&sendBuffer_), sizeof sendBuffer_);
    }
    void OnTargetConnectFailed(SSH::ChannelHost&, ConnectingSocket&) override {}

private:
    int* connected_;
    int sendBuffer_;
};

struct ResponderOpener : ChannelOpenHandler {
    explicit ResponderOpener(SSH::Manager& manager, int sendBuffer = 0) : manager(manager), sendBuffer(sendBuffer) {}
    SSH::Channel* CreateChannel(const std::string& type, CryptoPP::BufferedTransformation&) override
    {
        return type == "direct-tcpip" ? new ApprovingResponder(manager, &connected, sendBuffer) : nullptr;
    }
    SSH::Manager& manager;
    int sendBuffer;
    int connected = 0;  // read by the test once the connection has ended
};
