#include "tools/settings-probe/probe_session.h"

#include <exception>

#include "foundation/encoding_conversion.h"
#include "foundation/exceptions.h"
#include "foundation/text_helpers.h"
#include "settings/server/server_cfg.h"

std::string EscapeProbeText(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
        case L'\\': out += "\\\\"; break;
        case L'\r': out += "\\r"; break;
        case L'\n': out += "\\n"; break;
        case L'\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned>(c) > 127) out += "\\u" + FormatInteger(static_cast<unsigned>(c), 16, 4);
            else out += static_cast<char>(c);
        }
    }
    return out;
}

ProbeSession::ProbeSession(TreeKind kind) : kind_(kind) { Reset(); }

void ProbeSession::Reset()
{
    root_.reset();
    tree_.reset();
    if (kind_ == kServerTree) {
        // The holder is the server tree's evaluation context, as for every other user.
        root_.reset(new ServerCfg(false));
        return;
    }
    tree_.reset(new ProbeTree);
    root_.reset(new RootEvaluator(tree_.get()));
}

std::string ProbeSession::Answer(const std::string& line)
{
    const std::wstring wide = Utf8ToWide(line);
    if (wide.empty() && !line.empty()) return "ERR request is not valid UTF-8";
    const wchar_t command = wide.empty() ? 0 : wide[0];
    if (wide.size() > 1 && wide[1] != L' ') return "ERR unknown request '" + EscapeProbeText(wide) + "'";
    const std::wstring text = wide.size() > 2 ? wide.substr(2) : std::wstring();
    try {
        ExpressionResult result;
        switch (command) {
        case L'R':
            if (wide.size() != 1) break;
            Reset();
            return "OK";
        case L'I':
            root_->ScriptInstruction(text);
            return "OK";
        case L'Q':
        case L'E':
            root_->Evaluate(text, result, command == L'Q' ? RootEvaluator::kQueryContext : RootEvaluator::kValueContext);
            {
                std::wstring shown;
                result.ToString(shown, false);
                return "RES " + std::to_string(result.type) + " " + std::to_string(result.reference) + " " +
                       EscapeProbeText(shown);
            }
        default:
            break;
        }
        return "ERR unknown request '" + EscapeProbeText(wide) + "'";
    } catch (const TException& e) {
        return "ERR " + EscapeProbeText(e.WideMessage().text);
    } catch (const std::exception& e) {
        return "ERR " + EscapeProbeText(Utf8ToWide(e.what()));
    }
}
