// What a call that must end the connection throws.
#pragma once

#include "ssh/exceptions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>

// The reason and description of the SSH::CauseToDisconnect a call throws; the language must
// be "en".
template <class Call>
std::pair<std::uint32_t, std::string> DisconnectOf(Call call)
{
    try {
        call();
    } catch (const SSH::CauseToDisconnect& e) {
        EXPECT_EQ(e.language(), "en");
        return {e.reason(), e.description()};
    }
    return {0, "(nothing thrown)"};
}
