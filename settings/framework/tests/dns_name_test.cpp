#include "settings/framework/dns_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct NarrowCase {
    int flags;
    std::string text;
    bool valid;
};

TEST(DnsName, NarrowNamesByTheStateMachine)
{
    const NarrowCase cases[] = {
        {0, "", false},
        {1, "*", true},
        {0, "*", false},
        {1, "*.example.com", true},
        {1, "a.*.com", false},
        {1, "*example.com", false},
        {1, "**", false},
        {0, "-a.com", false},
        {0, "a-.com", false},
        {0, "a..com", false},
        {0, ".com", false},
        {0, "example.com.", false},
        {0, "a_b.com", false},
        {0, "a--b.com", true},
        {0, "1.2.3.4", true},
        {0, "Example.COM", true},
        {2, "ex\xC3\xA4mple.com", true},
        {0, "ex\xC3\xA4mple.com", false},
        {2, "\xC0\xAF.com", false},       // overlong
        {2, "a\xED\xA0\x80.com", false},  // encoded surrogate
        {2, "a\xE2\x82", false},          // incomplete at the end
        {2, "a\xF4\x90\x80\x80", false},  // above U+10FFFF
        {2, "a\xF0\x9F\x98\x80", true},   // a four-byte character
    };
    for (const NarrowCase& c : cases) {
        EXPECT_EQ(IsValidDnsName(c.flags, c.text.data(), static_cast<int>(c.text.size())), c.valid) << c.text;
        EXPECT_EQ(IsValidDnsName(c.flags, c.text.c_str(), -1), c.valid) << c.text;
    }
}

TEST(DnsName, LengthLimitAndCountedPrefixes)
{
    std::string name;
    while (name.size() < 253) name += name.size() % 2 ? "." : "a";
    name.back() = 'a';
    ASSERT_EQ(name.size(), 253u);
    EXPECT_TRUE(IsValidDnsName(0, name.c_str(), 253));
    EXPECT_TRUE(IsValidDnsName(0, name.c_str(), -1));
    std::string longer = name + "a";
    EXPECT_FALSE(IsValidDnsName(0, longer.c_str(), 254));
    EXPECT_FALSE(IsValidDnsName(0, longer.c_str(), -1));
    std::wstring wide(longer.begin(), longer.end());
    EXPECT_FALSE(IsValidDnsNameW(0, wide.c_str(), -1));
    EXPECT_TRUE(IsValidDnsNameW(0, wide.c_str(), 253));

    EXPECT_TRUE(IsValidDnsName(0, "example.com", 7));
    EXPECT_FALSE(IsValidDnsName(0, "exa\0mple", 8));  // a counted NUL is an ordinary, invalid character
    EXPECT_FALSE(IsValidDnsNameW(0, L"exa\0mple", 8));
}

TEST(DnsName, WideNamesAndSurrogates)
{
    EXPECT_TRUE(IsValidDnsNameW(2, L"ex\x00e4mple.com", -1));
    EXPECT_FALSE(IsValidDnsNameW(0, L"ex\x00e4mple.com", -1));
    EXPECT_FALSE(IsValidDnsNameW(2, L"a\xd83d\xde00.com", -1));
    EXPECT_TRUE(IsValidDnsNameW(1, L"*.example.com", -1));
    EXPECT_FALSE(IsValidDnsNameW(0, L"*.example.com", -1));
    EXPECT_FALSE(IsValidDnsNameW(3, L"a b", -1));
    EXPECT_FALSE(IsValidDnsNameW(0, L"", 0));
}

}  // namespace
