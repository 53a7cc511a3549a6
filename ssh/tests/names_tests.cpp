#include "ssh/dh_kex_handler.h"
#include "ssh/protocol_names.h"

#include <gtest/gtest.h>

TEST(SshNames, MessageNumbers)
{
    struct {
        int number;
        const char* name;
    } cases[] = {
        {0, "0 (unrecognized)"},       {1, "SSH_MSG_DISCONNECT"},         {6, "SSH_MSG_SERVICE_ACCEPT"},
        {7, "7 (unrecognized)"},       {20, "SSH_MSG_KEXINIT"},           {21, "SSH_MSG_NEWKEYS"},
        {22, "22 (unrecognized)"},     {30, "SSH_MSG_KEX_30"},            {45, "SSH_MSG_KEX_45"},
        {49, "SSH_MSG_KEX_49"},        {50, "SSH_MSG_USERAUTH_REQUEST"},  {53, "SSH_MSG_USERAUTH_BANNER"},
        {54, "54 (unrecognized)"},     {60, "SSH_MSG_USERAUTH_60"},       {66, "SSH_MSG_USERAUTH_66"},
        {79, "SSH_MSG_USERAUTH_79"},   {80, "SSH_MSG_GLOBAL_REQUEST"},    {82, "SSH_MSG_REQUEST_FAILURE"},
        {83, "83 (unrecognized)"},     {90, "SSH_MSG_CHANNEL_OPEN"},      {94, "SSH_MSG_CHANNEL_DATA"},
        {100, "SSH_MSG_CHANNEL_FAILURE"}, {101, "101 (unrecognized)"},    {255, "255 (unrecognized)"},
    };
    for (const auto& c : cases) EXPECT_EQ(SSH::MessageName(static_cast<unsigned char>(c.number)), c.name);
}

TEST(SshNames, ReasonCodes)
{
    EXPECT_EQ(SSH::DisconnectReasonName(1), "SSH_DISCONNECT_HOST_NOT_ALLOWED_TO_CONNECT");
    EXPECT_EQ(SSH::DisconnectReasonName(2), "SSH_DISCONNECT_PROTOCOL_ERROR");
    EXPECT_EQ(SSH::DisconnectReasonName(15), "SSH_DISCONNECT_ILLEGAL_USER_NAME");
    EXPECT_EQ(SSH::DisconnectReasonName(0), "0 (unrecognized)");
    EXPECT_EQ(SSH::DisconnectReasonName(16), "16 (unrecognized)");
    // A uint32 of 4294967295 from the wire shows as a signed value.
    EXPECT_EQ(SSH::DisconnectReasonName(static_cast<int>(4294967295u)), "-1 (unrecognized)");

    EXPECT_EQ(SSH::ChannelOpenFailureName(1), "SSH_OPEN_ADMINISTRATIVELY_PROHIBITED");
    EXPECT_EQ(SSH::ChannelOpenFailureName(4), "SSH_OPEN_RESOURCE_SHORTAGE");
    EXPECT_EQ(SSH::ChannelOpenFailureName(5), "5 (unrecognized)");
    EXPECT_EQ(SSH::ChannelOpenFailureName(-2147483647 - 1), "-2147483648 (unrecognized)");
}

TEST(SshNames, KeepAliveAndKeyExchangeNames)
{
    EXPECT_EQ(std::string(KeepAliveRequestName()).rfind("keep-alive@", 0), 0u);
    EXPECT_STREQ(DhKexHandler::Group1Sha1Name(), "diffie-hellman-group1-sha1");
    EXPECT_STREQ(DhKexHandler::Group14Sha1Name(), "diffie-hellman-group14-sha1");
    EXPECT_STREQ(DhKexHandler::GroupExchangeSha1Name(), "diffie-hellman-group-exchange-sha1");
}
