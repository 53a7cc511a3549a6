#include <gtest/gtest.h>

#include "settings/framework/enum_info.h"
#include "settings/framework/expression.h"

namespace {

TEST(EnumInfo, LookupsAreExactAndUsePrimaryNamesForOutput)
{
    const EnumInfo& b = BooleanEnumInfo::Instance();
    std::uint32_t v = 99;
    EXPECT_FALSE(b.NameToValue(L"True", v));
    EXPECT_EQ(99u, v);
    EXPECT_TRUE(b.NameToValue(L"true", v));
    EXPECT_EQ(1u, v);
    std::wstring name;
    EXPECT_FALSE(b.ValueToName(2, name));

    const EnumInfo& yn = DefaultYesNoEnumInfo::Instance();
    EXPECT_TRUE(yn.NameToValue(L"true", v));
    EXPECT_EQ(1u, v);
    EXPECT_TRUE(yn.NameToValue(L"false", v));
    EXPECT_EQ(2u, v);
    EXPECT_TRUE(yn.ValueToName(1, name));
    EXPECT_EQ(L"yes", name);
}

TEST(EnumInfo, Describe)
{
    EXPECT_EQ(L"Boolean enumeration type:\r\n  false (0), true (1)\r\n", BooleanEnumInfo::Instance().Describe());
    EXPECT_EQ(L"AuthType enumeration type:\r\n  pwdOrKey (0), pwdAndKey (1)\r\n", AuthTypeEnumInfo::Instance().Describe());
    EXPECT_EQ(L"DefaultYesNo enumeration type:\r\n  default (0), yes (1), no (2)\r\n"
              L" Alternate names: false (2), true (1)\r\n",
              DefaultYesNoEnumInfo::Instance().Describe());

    EnumInfo onlyAlternates(L"Odd");
    onlyAlternates.AddAlternateName(L"b", 2);
    onlyAlternates.AddAlternateName(L"a", 1);
    EXPECT_EQ(L"Odd enumeration type:\r\n (no primary names)\r\n Alternate names: a (1), b (2)\r\n",
              onlyAlternates.Describe());
    EXPECT_EQ(L"Empty enumeration type:\r\n (no primary names or alternate names)\r\n", EnumInfo(L"Empty").Describe());
}

TEST(EnumInfo, FirstEntryWinsAndUnknownNamesCannotBeDescribed)
{
    EnumInfo e(L"T");
    e.AddValue(L"one", 1);
    e.AddValue(L"uno", 1);  // the value keeps "one" as its primary name
    e.AddValue(L"one", 5);  // the name keeps 1
    std::uint32_t v = 0;
    EXPECT_TRUE(e.NameToValue(L"one", v));
    EXPECT_EQ(1u, v);
    EXPECT_TRUE(e.NameToValue(L"uno", v));
    std::wstring name;
    EXPECT_TRUE(e.ValueToName(1, name));
    EXPECT_EQ(L"one", name);
    // Each map keeps its first entry on its own: value 5 is new, so it gets the name.
    EXPECT_TRUE(e.ValueToName(5, name));
    EXPECT_EQ(L"one", name);
    try {
        e.DescribeValues({L"one", L"two"});
        FAIL();
    } catch (const EvaluationErr& err) {
        EXPECT_EQ(L"EnumInfo::DescribeValues() - unrecognized value name", err.WideMessage().text);
    }
}

TEST(EnumInfo, OneObjectPerClass)
{
    EXPECT_THROW(BooleanEnumInfo second, Singleton<BooleanEnumInfo>::AlreadyExists);
    EXPECT_THROW(DefaultYesNoEnumInfo second, Singleton<DefaultYesNoEnumInfo>::AlreadyExists);
}

TEST(EnumInfo, ToEnumValue)
{
    const EnumInfo& yn = DefaultYesNoEnumInfo::Instance();
    struct Case {
        int type;
        std::uint32_t number;
        const wchar_t* text;
        bool ok;
        unsigned char value;
    } cases[] = {
        {ExpressionResult::kNumber, 2, L"", true, 2},
        {ExpressionResult::kNumber, 3, L"", false, 0xEE},
        {ExpressionResult::kLiteral, 0, L"false", true, 2},
        {ExpressionResult::kLiteral, 0, L"maybe", false, 0xEE},
        {ExpressionResult::kString, 0, L"yes", false, 0xEE},
        {ExpressionResult::kIpAddress, 1, L"", false, 0xEE},
    };
    for (const Case& c : cases) {
        ExpressionResult r;
        r.type = c.type;
        r.number = c.number;
        r.text = c.text;
        unsigned char out = 0xEE;
        EXPECT_EQ(c.ok, ExpressionResult::ToEnumValue(r, out, yn));
        EXPECT_EQ(c.value, out);
    }
}

} // namespace
