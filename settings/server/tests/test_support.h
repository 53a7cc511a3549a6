// Helpers of the server-record tests: hex byte strings, encoding into a byte string, the
// texts of an ErrorInfo list, and the settings language over one record.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <cryptopp/filters.h>

#include "RoVodEre/ErrorInfo.h"
#include "settings/framework/evaluator.h"
#include "settings/framework/expression.h"
#include "settings/framework/record_codec.h"

// "0A 01 ..." (blanks and semicolons ignored) as bytes.
std::string FromHex(const std::string& hex);
// Upper-case hex pairs separated by blanks.
std::string ToHex(const std::string& bytes);

std::vector<std::string> Texts(const ErrorInfo::TextList& list);

// The record's encoding; count receives Encode's result, errors its error texts.
template <class Record>
std::string Encoded(Record& record, int* count = nullptr, std::vector<std::string>* errors = nullptr)
{
    std::string bytes;
    {
        EncodeContext ctx(new CryptoPP::StringSink(bytes));
        const int written = record.Encode(ctx);
        if (count)
            *count = written;
        if (errors)
            *errors = Texts(ctx.errors);
    }
    return bytes;
}


struct Decoded {
    int count;
    std::uint32_t pos;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
};

template <class Record>
Decoded Decode(Record& record, const std::string& bytes)
{
    DecodeContext ctx(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()),
                      0);
    Decoded result;
    result.count = record.Decode(ctx);
    result.pos = ctx.pos;
    result.errors = Texts(ctx.errors);
    result.warnings = Texts(ctx.warnings);
    return result;
}

template <class Record>
std::vector<std::string> ValidityTexts(Record& record, bool expected)
{
    ErrorInfo info;
    EXPECT_EQ(expected, record.IsValid(info));
    return Texts(info.errors);
}

// Instructions and queries on one evaluator as the root of the language.
class LanguageOn {
public:
    explicit LanguageOn(Evaluator& target) : target_(target), root_(&target) {}

    // "" when the instruction worked, else its message.
    std::wstring Run(const std::wstring& text);
    // The answer as the language shows it (strings quoted), or "ERR " and the message.
    std::wstring Query(const std::wstring& text);

private:
    Evaluator& target_;
    RootEvaluator root_;
};

// The text of the OrvidexCfgException that operation throws, or "(no failure)".
std::string CfgFailureOf(const std::function<void()>& operation);
