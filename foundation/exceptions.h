// The foundation's exception family: a message held in UTF-16 and in a narrow code page,
// one of them primary, the other converted on first demand. Also the English texts of
// Windows error codes.
#pragma once

#include "foundation/encoded_string.h"

#include <windows.h>

#include <exception>

class TException : public std::exception {
public:
    explicit TException(const Utf16String& message);
    explicit TException(const CodePageString& message);
    ~TException() override;

    // The narrow text; empty when the narrow form is empty or not valid in its code page.
    const char* what() const noexcept override;

    const CodePageString& NarrowMessage() const;
    const Utf16String& WideMessage() const;

private:
    bool wideIsPrimary;
    // The secondary form is filled on first demand, also through a const object.
    mutable Utf16String wideMessage;
    mutable CodePageString narrowMessage;
};

class AException : public TException {
public:
    explicit AException(const CodePageString& message) : TException(message) {}
};

class WException : public TException {
public:
    explicit WException(const Utf16String& message) : TException(message) {}
};

// A Windows error code with its text: "OS error <code>: <text>". Built to take its text
// into other messages; nothing in this system throws it.
class OsErrorException : public TException {
public:
    explicit OsErrorException(DWORD code);
    OsErrorException(const CodePageString& context, DWORD code);
    OsErrorException(const Utf16String& context, DWORD code);

    DWORD errorCode;
};

CodePageString NarrowErrorText(const TException& e);
Utf16String WideErrorText(const TException& e);

// The system's English text of a code without trailing line breaks; empty when it has none.
std::string MessageTableText(DWORD code);
// The system's English text of a code without trailing line breaks, else our built-in text.
CodePageString OsErrorText(DWORD code);
CodePageString SystemErrorText(DWORD code);
Utf16String WideSystemErrorText(DWORD code);
// Our own English text for a code the system has no text for: the table's, else
// "Error code 0x<hex> received.".
std::string BuiltInErrorText(DWORD code);
// Removes line feeds and carriage returns from the end.
void TrimTrailingLineBreaks(std::string& text);

// "OS error <code>", then ": <text>" when text is not empty.
CodePageString FormatOsErrorMessage(DWORD code, const CodePageString& text);
Utf16String FormatOsErrorMessage(DWORD code, const Utf16String& text);
CodePageString OsErrorMessage(DWORD code);
Utf16String WideOsErrorMessage(DWORD code);
