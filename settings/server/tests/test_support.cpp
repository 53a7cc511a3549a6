#include "settings/server/tests/test_support.h"

#include <cctype>
#include <cstdio>

#include "foundation/random_source.h"
#include "settings/framework/cfg_enc_dec.h"

namespace {
// The encrypted members need the process's random source for the whole run.
NoCrtRandom testRandom;
} // namespace

std::string FromHex(const std::string& hex)
{
    std::string bytes;
    std::string pair;
    for (char c : hex) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            continue;
        pair += c;
        if (pair.size() == 2) {
            bytes += static_cast<char>(std::stoi(pair, nullptr, 16));
            pair.clear();
        }
    }
    return bytes;
}

std::string ToHex(const std::string& bytes)
{
    std::string hex;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X", c);
        if (!hex.empty())
            hex += ' ';
        hex += buf;
    }
    return hex;
}

std::vector<std::string> Texts(const ErrorInfo::TextList& list)
{
    std::vector<std::string> texts;
    for (ErrorInfo::TextList::const_iterator it = list.begin(); it != list.end(); ++it)
        texts.push_back(it->c_str());
    return texts;
}

std::wstring LanguageOn::Run(const std::wstring& text)
{
    try {
        target_.Instruction(text, root_);
        return L"";
    } catch (const EvaluationErr& e) {
        return e.WideMessage().text;
    }
}

std::wstring LanguageOn::Query(const std::wstring& text)
{
    try {
        ExpressionResult result;
        target_.Expression(text, root_, L"", L"", result);
        std::wstring shown;
        result.ToString(shown, true);
        return shown;
    } catch (const EvaluationErr& e) {
        return L"ERR " + e.WideMessage().text;
    }
}

std::string CfgFailureOf(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const OrvidexCfgException& e) {
        return e.what();
    }
    return "(no failure)";
}
