#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RoVodEre/ErrorInfo.h"

namespace {

std::string Text(const NoCrtString& s) { return std::string(s.c_str(), s.size()); }

TEST(ErrorInfoTest, DescribesErrorsThenWarningsThenInfos) {
    struct Case {
        std::vector<const char*> errors, warnings, infos;
        const char* expected;
    } cases[] = {
        {{}, {}, {}, ""},
        {{"x"}, {}, {}, "[Error] x"},
        {{""}, {}, {}, "[Error] "},
        {{"a", "b"}, {}, {}, "[Error] a\n[Error] b"},
        {{"a"}, {"w"}, {}, "[Error] a\n[Warning] w"},
        {{}, {"w"}, {}, "[Warning] w"},
        {{}, {"w1", "w2"}, {"i"}, "[Warning] w1\n[Warning] w2\n[Info] i"},
        {{"first", "second"}, {"third"}, {}, "[Error] first\n[Error] second\n[Warning] third"},
        {{"e"}, {}, {"i"}, "[Error] e\n[Info] i"},
    };
    for (const Case& c : cases) {
        ErrorInfo info;
        // Added interleaved: the order within a list is the order of the calls.
        for (const char* t : c.infos) info.Add(NoCrtString(t), info.infos);
        for (const char* t : c.warnings) EXPECT_EQ(0, info.AddWarning(NoCrtString(t)));
        for (const char* t : c.errors) EXPECT_EQ(0, info.AddError(NoCrtString(t)));
        EXPECT_EQ(c.expected, Text(info.Describe("\n")));
    }

    ErrorInfo info;
    info.AddError(NoCrtString("a"));
    info.AddError(NoCrtString("b"));
    EXPECT_EQ("[Error] a, [Error] b", Text(info.Describe(", ")));
    EXPECT_EQ("[Error] a|[Error] b", Text(info.DescribeErrors("|")));
    EXPECT_EQ("", Text(info.DescribeWarnings("|")));
}

TEST(ErrorInfoTest, MarkStopsRecordingUntilCleared) {
    ErrorInfo info;
    info.AddError(NoCrtString("kept"));
    NoCrtString failed;
    failed.af_ = 21;
    EXPECT_EQ(21, info.AddWarning(failed));  // the text's mark is taken over, the text not recorded
    EXPECT_EQ(0u, info.warnings.size());
    EXPECT_EQ(21, info.AddError(NoCrtString("lost")));
    EXPECT_EQ(1u, info.errors.size());
    EXPECT_EQ("", Text(info.Describe("\n")));

    // Even a list whose pointer store failed to grow is usable again after Clear.
    info.infos.ptrs_.af_ = 16;
    info.infos.af_ = 16;
    info.Clear();
    EXPECT_EQ(0, info.af_);
    EXPECT_EQ(0u, info.errors.size());
    EXPECT_EQ(0u, info.warnings.size());
    EXPECT_EQ(0u, info.infos.size());
    EXPECT_EQ(0, info.Add(NoCrtString("again"), info.infos));
    EXPECT_EQ("[Info] again", Text(info.Describe("\n")));
}

}  // namespace
