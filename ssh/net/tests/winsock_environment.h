// Windows Sockets for the whole test program.
#pragma once

#include "ssh/net/network_address.h"
#include "ssh/net/socket.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

class WinsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override { session.reset(new WinsockSession); }
    void TearDown() override { session.reset(); }

private:
    std::unique_ptr<WinsockSession> session;
};

// A non-blocking listening socket on 127.0.0.1 at a port the system chose.
struct Listener {
    Socket socket;
    sockaddr_in address;
    std::uint32_t port;
    Listener()
    {
        socket.Create();
        NetworkAddress any;
        any.Set("127.0.0.1", 0);
        socket.Bind(any.ToSockAddr());
        socket.Listen();
        socket.SetNonBlocking();
        address = socket.GetSockName();
        port = ntohs(address.sin_port);
    }
};

// Two connected sockets on 127.0.0.1.
struct Pair {
    Socket client;
    Socket server;
    Pair() {
        Socket listener;
        listener.Create();
        NetworkAddress at;
        at.Set("127.0.0.1", 0);
        listener.Bind(at.ToSockAddr());
        listener.Listen();
        sockaddr_in address = listener.GetSockName();
        client.Create();
        EXPECT_TRUE(client.Connect(reinterpret_cast<const sockaddr*>(&address), sizeof address));
        EXPECT_TRUE(listener.Accept(server, nullptr, nullptr));
    }
};
