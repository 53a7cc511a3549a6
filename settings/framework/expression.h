// Values and context of the settings language: the value of an evaluated expression, the
// language's exception, the context that instructions and queries run in, and the small
// helpers that turn values into text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/exceptions.h"

class Evaluator;
class EnumInfo;

// Every failure of an instruction, a query or an expression.
class EvaluationErr : public WException {
public:
    explicit EvaluationErr(const std::wstring& message) : WException(Utf16String(message)) {}
};

class ExpressionResult {
public:
    enum Type { kNumber = 0, kIpAddress = 1, kString = 2, kLiteral = 3 };

    std::int32_t type;
    // 1 when a string is the path of an object rather than a value.
    std::int32_t reference;
    // Types 0 and 1; an address holds its first octet in the most significant byte.
    std::uint32_t number;
    // Types 2 and 3.
    std::wstring text;

    ExpressionResult() { Clear(); }
    void Clear();

    // Same type and same number or text; the reference flag does not count.
    bool operator==(const ExpressionResult& other) const;
    bool operator!=(const ExpressionResult& other) const { return !(*this == other); }

    // Numbers in decimal, addresses dotted, strings quoted with escapes when asked.
    void ToString(std::wstring& out, bool quoted) const;

    // A number or literal that names a value of the enumeration gives that value's low
    // byte; anything else gives false and leaves out unchanged.
    static bool ToEnumValue(const ExpressionResult& result, unsigned char& out, const EnumInfo& enumeration);
};

// The context of an instruction or expression: the root of the settings tree and the
// active "With" prefixes, innermost last.
class RootEvaluator {
public:
    // Contexts of Evaluate: a bare word is a query relative to the current prefix (0), or
    // a literal value (1).
    enum { kQueryContext = 0, kValueContext = 1 };

    // How deeply "$" paths and queries may nest inside one another (a value may name a
    // list entry by a test whose value is itself a path, and so on, each level taking room
    // on the stack), and With clauses inside one another: no setting lies deeper.
    static const int kMaxNesting = 32;

    explicit RootEvaluator(Evaluator* root) : root_(root), nesting_(0) {}
    virtual ~RootEvaluator() {}

    Evaluator* Root() const { return root_; }
    // How many With clauses are open.
    std::size_t WithDepth() const { return withEnds_.size(); }
    // The innermost prefix (every open clause's path followed by "."), or the empty text.
    const std::wstring& CurrentWithPrefix() const { return withPrefix_; }

    // Turns the text of a value into result; every failure throws EvaluationErr.
    void Evaluate(const std::wstring& text, ExpressionResult& result, int mode);

    // Runs one line of an instruction script such as a "*" query writes: "With <path> {"
    // opens a clause whose path goes in front of the following lines, "}" closes the
    // innermost one, and any other line is an instruction for the root behind the current
    // prefix. Inside a clause leading whitespace is indentation.
    void ScriptInstruction(const std::wstring& line);
    // Drops every active With clause.
    void ClearWithPrefixes();

protected:
    // Opens a clause: path + "." goes after the current prefix. Refused (EvaluationErr)
    // beyond kMaxNesting clauses.
    void OpenWith(const std::wstring& path);

    Evaluator* root_;  // not owned

private:
    // Asks the root for a query on behalf of Evaluate, within kMaxNesting levels.
    void AskRoot(const std::wstring& query, ExpressionResult& result);

    int nesting_;  // the root queries of Evaluate now running
    // Each clause adds only its own path to the one joined prefix and records where it
    // ends, so open clauses take memory in proportion to their own text.
    std::wstring withPrefix_;
    std::vector<std::size_t> withEnds_;
};

// "%u.%u.%u.%u", most significant byte first.
void Ip4ToString(std::uint32_t address, std::string& out);
void Ip4ToString(std::uint32_t address, std::wstring& out);

// The text in double quotes, with \t \n \r \" \\ escaped and every character above 127
// written as \x and four lower-case hex digits.
std::wstring QuoteWithEscapes(const std::wstring& text);

// "UTF-7", "UTF-8" or "code page <n>".
std::wstring CodePageName(unsigned codePage);

// Bytes held in a code page (65000: 7-bit text, 65001: UTF-8) as UTF-16; length -1 means
// up to the terminating zero.
std::wstring CodePageToWString(const char* bytes, int length, unsigned codePage);
// The reverse: UTF-16 text as the bytes of a code page; for 65000 every character outside
// ASCII becomes "?".
std::string WStringToCodePage(const std::wstring& text, unsigned codePage);

// Upper-case hex digits, no separators.
std::wstring BytesToHex(const unsigned char* bytes, std::size_t length);

// The digits of value in base (lower-case letters), zero-filled to width when it is not 0.
std::wstring UIntToWString(std::uint32_t value, unsigned base, unsigned width);
