// The holder of the server's settings tree: the one place where the tree becomes the
// whole-settings message and back, is validated, and is saved to or loaded from a settings
// file (".ovs": exactly one message, nothing else). It is also the evaluation context of
// the settings language for its tree, so "$" paths and values queries see the held tree.
//
// Failure convention of every operation except Validate: the failure text replaces the
// last-error text; then, with the throw flag set, OrvidexCfgException carries it out,
// otherwise the operation returns false. Success leaves the last-error text alone.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include <cryptopp/cryptlib.h>

#include "foundation/encoded_string.h"
#include "foundation/encoding_conversion.h"
#include "foundation/exceptions.h"
#include "settings/framework/cfg_enc_dec.h"
#include "settings/framework/expression.h"
#include "settings/server/cfg_root.h"

class ServerCfg : public RootEvaluator {
public:
    // The largest whole-settings message a settings file or the registry holds.
    static const std::uint32_t kMaxSettingsSize = 512000;

    explicit ServerCfg(bool throwOnError);
    ServerCfg(const ServerCfg&) = delete;
    ServerCfg& operator=(const ServerCfg&) = delete;
    ~ServerCfg() override;

    // Appends the message of the held tree (current version) to out.
    bool Encode(CryptoPP::BufferedTransformation& out);
    // Reads one message of any supported version; the held tree is replaced only when the
    // whole message decodes and the result validates.
    bool Decode(CryptoPP::BufferedTransformation& in);
    // Checks root (which need not be the held tree) and stops at the first failure. A
    // failure throws OrvidexCfgException with its message when throwAlways or the throw
    // flag is set; otherwise it returns false and leaves the last-error text untouched.
    bool Validate(CfgRoot& root, bool throwAlways);

    // The file name's text goes to the ANSI file functions, converted to the ANSI code
    // page when it is held in another. Saving refuses a tree that fails validation, with
    // its message, and writes nothing then.
    bool SaveToFile(const CodePageString& fileName);
    bool LoadFromFile(const CodePageString& fileName);

    const std::wstring& LastError() const { return m_lastError; }

    const bool m_throwOnError;
    CfgRoot m_root;
    std::wstring m_lastError;

protected:
    // Applies the failure convention to text: always false when it returns.
    bool Fail(const std::wstring& text);
    // Runs body (which returns the operation's result) and turns whatever it throws into a
    // failure: a settings exception or one of ours by its own text, another standard one by
    // its narrow text, anything else by unknownFailure.
    template <class Body>
    bool Reporting(Body body, const wchar_t* unknownFailure)
    {
        try {
            return body();
        } catch (const CUnicodeException& e) {
            return Fail(e.WideWhat());
        } catch (const TException& e) {
            return Fail(e.WideMessage().text);
        } catch (const std::exception& e) {
            return Fail(ToUtf16(AnsiString(e.what())).text);
        } catch (...) {
            return Fail(unknownFailure);
        }
    }
    // The message of the held tree as bytes, at most kMaxSettingsSize of them, for a tree
    // that passes validation (a failure carries its message). what names the destination
    // in the text of a message that is too long.
    bool EncodeToBytes(std::string& bytes, const wchar_t* what);
    // Decode over a block of bytes.
    bool DecodeBytes(const unsigned char* bytes, std::uint32_t length);
};
