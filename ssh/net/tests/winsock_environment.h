// Windows Sockets for the whole test program.
#pragma once

#include "ssh/net/socket.h"

#include <gtest/gtest.h>

#include <memory>

class WinsockEnvironment : public ::testing::Environment {
public:
    void SetUp() override { session.reset(new WinsockSession); }
    void TearDown() override { session.reset(); }

private:
    std::unique_ptr<WinsockSession> session;
};
