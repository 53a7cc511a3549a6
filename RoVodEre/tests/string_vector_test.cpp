#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RoVodEre/NoCrtString.h"
#include "RoVodEre/NoCrtVector.h"
#include "RoVodEre/tests/check_failure.h"

namespace {

std::string Text(const NoCrtString& s) { return std::string(s.c_str(), s.size()); }

// The body fails the check whose condition text is given, in the given header.
void ExpectCheck(const std::function<void()>& body, const char* file, const char* text)
{
    CheckFailure failure = RunExpectingCheckFailure(body);
    EXPECT_EQ(0x8805u, failure.exitCode) << text;
    EXPECT_NE(std::string::npos, failure.message.find(std::string(file) + "', line ")) << failure.message;
    EXPECT_NE(std::string::npos, failure.message.find(":\r\n" + std::string(text) + "\r\n")) << failure.message;
}

TEST(NoCrtStringTest, CountsTerminatorOnceFilled) {
    NoCrtString abc("abc");
    EXPECT_EQ(4u, abc.s_);
    EXPECT_EQ(3u, abc.size());
    EXPECT_STREQ("abc", abc.c_str());
    EXPECT_EQ(0, abc.p_[3]);

    NoCrtString empty;
    EXPECT_EQ(0u, empty.s_);
    EXPECT_EQ(0u, empty.size());
    EXPECT_STREQ("", empty.c_str());
    empty.append(nullptr);
    empty.append(nullptr, 5);
    empty.append("");
    empty.append(abc, 3);
    EXPECT_EQ(0u, empty.s_);
    EXPECT_EQ(nullptr, empty.p_);

    NoCrtString part("abcd", 2);
    EXPECT_EQ("ab", Text(part));
}

TEST(NoCrtStringTest, AppendsRangesOfOtherStrings) {
    NoCrtString abcd("abcd");
    NoCrtString s("x");
    s.append(abcd, 1, 2);
    EXPECT_EQ("xbc", Text(s));
    EXPECT_EQ(s.size() + 1, s.s_);
    EXPECT_EQ(0, s.p_[s.s_ - 1]);

    // A range that takes the source's terminator copies it as a character.
    NoCrtString t("y");
    t.append(abcd, 2, 3);
    EXPECT_EQ(std::string("ycd\0", 4), Text(t));
    NoCrtString u;
    u.append(NoCrtString(), 0, 1);  // the terminator of a string that has no buffer
    EXPECT_EQ(std::string(1, '\0'), Text(u));

    NoCrtString copy(abcd, 1);
    EXPECT_EQ("bcd", Text(copy));
}

TEST(NoCrtStringTest, AppendsFromItsOwnBuffer) {
    NoCrtString s("abc");
    s.append(s);
    EXPECT_EQ("abcabc", Text(s));
    s.append(s.c_str() + 4);  // moves during the growth
    EXPECT_EQ("abcabcbc", Text(s));
    s.assign(s, 3, 3);
    EXPECT_EQ("abc", Text(s));
    s = s;
    EXPECT_EQ("abc", Text(s));
    s.assign(s.c_str() + 1);
    EXPECT_EQ("bc", Text(s));
}

TEST(NoCrtStringTest, AssignKeepsLargerBufferAndGrowsExactly) {
    NoCrtString s("a long text");
    const char* buffer = s.p_;
    s.assign("ab");
    EXPECT_EQ(buffer, s.p_);
    EXPECT_EQ(3u, s.s_);
    EXPECT_EQ(12u, s.cap_);
    s = NoCrtString("0123456789abcdef");
    EXPECT_EQ(17u, s.cap_);
}

TEST(NoCrtStringTest, ComparesAsUnsignedBytesThenLength) {
    struct Case {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"ab", "abc", -1}, {"b", "abc", 1}, {"", "", 0}, {"abc", "abc", 0}, {"\xe9", "z", 1}, {"", "a", -1},
    };
    for (const Case& c : cases) {
        NoCrtString a(c.a), b(c.b);
        int r = a.compare(b);
        EXPECT_EQ(c.sign, (r > 0) - (r < 0)) << c.a << " vs " << c.b;
        r = a.compare(c.b);
        EXPECT_EQ(c.sign, (r > 0) - (r < 0)) << c.a << " vs " << c.b;
        EXPECT_EQ(c.sign < 0, a < b);
    }
    EXPECT_EQ(-1, NoCrtString("ab").compare("abc"));
    EXPECT_EQ(0u, SafeStrLen(nullptr));
}

TEST(NoCrtStringTest, MarkedStringsPassTheirMarkOn) {
    NoCrtString marked("abc");
    marked.af_ = 99;
    NoCrtString copy(marked);
    EXPECT_EQ(99, copy.af_);
    EXPECT_EQ(0u, copy.s_);
    NoCrtString target("x");
    target = marked;
    EXPECT_EQ(99, target.af_);
    EXPECT_EQ("x", Text(target));
    marked = NoCrtString("other");
    EXPECT_EQ("abc", Text(marked));  // a marked target ignores the assignment

    NoCrtString huge("abc");
    huge.append("d", 0x7FFFFFFFu);  // more than can ever be allocated: refused before reading
    EXPECT_NE(0, huge.af_);
    EXPECT_EQ("abc", Text(huge));
}

TEST(NoCrtStringTest, FailedChecks) {
    const NoCrtString abcd("abcd");
    ExpectCheck([&] { abcd[4]; }, "NoCrtString.h", "!af_ && i<length()");
    ExpectCheck([&] { NoCrtString().append(abcd, 5); }, "NoCrtString.cpp", "off <= str.size()");
    ExpectCheck([&] { NoCrtString().append(abcd, 1, 5); }, "NoCrtString.cpp", "off + extend <= str.size() + 1");
    ExpectCheck([&] { NoCrtString().append(abcd, 2, 0xFFFFFFFEu); }, "NoCrtString.cpp",
                "off + extend <= str.size() + 1");
    ExpectCheck(
        [&] {
            NoCrtString s;
            s.af_ = 3;
            s.append("x");
        },
        "NoCrtString.cpp", "!af_");
    ExpectCheck(
        [&] {
            NoCrtString s;
            NoCrtString marked;
            marked.af_ = 3;
            s.append(marked);
        },
        "NoCrtString.cpp", "!af_ && !str.af_");
}

// Counts constructions and records the order of destructions.
std::vector<int> g_destroyed;
struct Tracked {
    int value;
    static int copies;
    Tracked() : value(-1) {}
    explicit Tracked(int v) : value(v) {}
    Tracked(const Tracked& o) : value(o.value) {
        ++copies;
        if (value == 666) throw std::runtime_error("copy refused");
    }
    virtual ~Tracked() { g_destroyed.push_back(value); }
};
int Tracked::copies = 0;

TEST(NoCrtVectorTest, PushBackGrowsStoreGeometrically) {
    NoCrtVector<NoCrtString> v;
    EXPECT_EQ(0u, v.size());
    v.push_back(NoCrtString("a"));
    EXPECT_EQ(2u, v.ptrs_.capacity());
    v.push_back(NoCrtString("b"));
    v.push_back(NoCrtString("c"));
    EXPECT_EQ(6u, v.ptrs_.capacity());
    EXPECT_EQ("b", Text(v[1]));
}

TEST(NoCrtVectorTest, ResizeDeletesFromTheLastDownAndKeepsStore) {
    g_destroyed.clear();
    {
        NoCrtVector<Tracked> v;
        v.push_back(Tracked(1));
        v.push_back(Tracked(2));
        v.push_back(Tracked(3));
        g_destroyed.clear();
        v.resize(0);
        EXPECT_EQ((std::vector<int>{3, 2, 1}), g_destroyed);
        EXPECT_NE(nullptr, v.ptrs_.p_);
        EXPECT_EQ(0u, v.size());
        v.resize(2);
        EXPECT_EQ(-1, v[1].value);
        g_destroyed.clear();
    }
    EXPECT_EQ((std::vector<int>{-1, -1}), g_destroyed);
}

TEST(NoCrtVectorTest, CopiesAreDeepAndReplaceHeldElements) {
    NoCrtVector<NoCrtString> a;
    a.push_back(NoCrtString("one"));
    a.push_back(NoCrtString("two"));
    NoCrtVector<NoCrtString> b(a);
    ASSERT_EQ(2u, b.size());
    EXPECT_EQ("two", Text(b[1]));
    EXPECT_NE(&a[0], &b[0]);

    g_destroyed.clear();
    NoCrtVector<Tracked> t;
    t.push_back(Tracked(7));
    NoCrtVector<Tracked> u;
    u.push_back(Tracked(8));
    u.push_back(Tracked(9));
    g_destroyed.clear();
    t = u;
    EXPECT_EQ((std::vector<int>{7}), g_destroyed);
    ASSERT_EQ(2u, t.size());
    EXPECT_EQ(9, t[1].value);
    t = t;
    t.assign(t.begin(), t.end());
    ASSERT_EQ(2u, t.size());
    EXPECT_EQ(8, t[0].value);
}

TEST(NoCrtVectorTest, MarksTravelWithAssignment) {
    NoCrtVector<NoCrtString> marked;
    marked.af_ = 8;
    NoCrtVector<NoCrtString> target;
    target.push_back(NoCrtString("kept"));
    target = marked;
    EXPECT_EQ(8, target.af_);
    marked.af_ = 0;
    marked.push_back(NoCrtString("x"));
    target = marked;  // a marked target changes nothing
    EXPECT_EQ(1u, target.size());
    EXPECT_EQ("kept", Text(*target.ptrs_.p_[0]));
    target.af_ = 0;

    // A string that carries a mark is copied as the mark.
    NoCrtString badText;
    badText.af_ = 5;
    NoCrtVector<NoCrtString> v;
    v.push_back(badText);
    EXPECT_EQ(5, v[0].af_);
}

TEST(NoCrtVectorTest, ThrowingCopyLeavesNoEmptySlot) {
    NoCrtVector<Tracked> v;
    v.push_back(Tracked(1));
    EXPECT_THROW(v.push_back(Tracked(666)), std::runtime_error);
    EXPECT_EQ(0, v.af_);
    ASSERT_EQ(1u, v.size());
    EXPECT_EQ(1, v[0].value);

    NoCrtVector<Tracked> source;
    source.push_back(Tracked(2));
    source.ptrs_[0]->value = 666;
    EXPECT_THROW(v = source, std::runtime_error);
    EXPECT_EQ(0u, v.size());
    source.ptrs_[0]->value = 2;
}

TEST(NoCrtVectorTest, FailedChecks) {
    ExpectCheck(
        [] {
            NoCrtVector<NoCrtString> v;
            v[0];
        },
        "datavect.h", "!af_ && i<s_");
    ExpectCheck(
        [] {
            const NoCrtVector<NoCrtString> v;
            v[0];
        },
        "datavect.h", "!af_ && i<s_");
    const std::function<void(NoCrtVector<NoCrtString>&)> calls[] = {
        [](NoCrtVector<NoCrtString>& v) { v.push_back(NoCrtString()); },
        [](NoCrtVector<NoCrtString>& v) { v.resize(1); },
        [](NoCrtVector<NoCrtString>& v) { v.assign(v.end(), v.end()); },
        [](NoCrtVector<NoCrtString>& v) { v[0]; },
        [](NoCrtVector<NoCrtString>& v) { static_cast<const NoCrtVector<NoCrtString>&>(v)[0]; },
        [](NoCrtVector<NoCrtString>& v) { v.begin(); },
    };
    for (const auto& call : calls) {
        ExpectCheck(
            [&] {
                NoCrtVector<NoCrtString> v;
                v.push_back(NoCrtString("x"));
                v.af_ = 4;
                call(v);
            },
            "NoCrtVector.h", "!af_");
    }
}

}  // namespace
