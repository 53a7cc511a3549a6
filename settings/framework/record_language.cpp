// Instructions and queries of a settings record, worked out from its member map alone.
#include "settings/framework/record_language.h"

#include <cryptopp/filters.h>
#include <cryptopp/hex.h>

#include <map>

#include "RoVodEre/ErrorInfo.h"
#include "foundation/encoding_conversion.h"
#include "foundation/secure_bytes.h"
#include "foundation/text_wrapper.h"
#include "settings/framework/dns_name.h"
#include "settings/framework/encrypted_member.h"
#include "settings/framework/enum_info.h"
#include "settings/framework/evaluator.h"
#include "settings/framework/expression.h"
#include "settings/framework/language_text.h"

namespace {

const wchar_t kMemberSeparators[] = L". \t";

// Help texts in listings are wrapped with CRLF between lines.
void AppendWrappedText(std::wstring& out, const std::wstring& text, unsigned width, unsigned indent)
{
    Utf16String wrapped;
    const Utf16String separator(std::wstring(L"\r\n"));
    WrapText(wrapped, Utf16String(text), width, indent, &separator);
    out += wrapped.text;
}

// Zeroes a temporary copy of secret text before it is freed.
void WipeBytes(std::string& bytes)
{
    if (!bytes.empty()) ScrubBytes(&bytes[0], bytes.size());
    bytes.clear();
}

void WipeWide(std::wstring& text)
{
    if (!text.empty()) ScrubBytes(&text[0], text.size() * sizeof(wchar_t));
}

// Hex input is all hexadecimal digits in pairs, or it is refused: the dependency's decoder
// would skip whatever is not a digit.
bool DecodeHex(const std::string& hex, std::string& bytes)
{
    if (hex.size() % 2 != 0) return false;
    for (char c : hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
    }
    bytes.clear();
    CryptoPP::StringSource source(hex, true, new CryptoPP::HexDecoder(new CryptoPP::StringSink(bytes)));
    return true;
}

std::wstring ErrorInfoText(ErrorInfo& info)
{
    NoCrtString described = info.Describe("\n");
    return ToUtf16(AnsiString(described.c_str())).text;
}

// Whether value is a name or named number of the enumeration; gives the number.
bool EnumerationValue(const ExpressionResult& value, const EnumInfo& enumeration, std::uint32_t& number)
{
    std::wstring name;
    if (value.type == ExpressionResult::kNumber) {
        number = value.number;
        return enumeration.ValueToName(value.number, name);
    }
    if (value.type == ExpressionResult::kLiteral) return enumeration.NameToValue(value.text, number);
    return false;
}

void SetString(ExpressionResult& result, const std::wstring& text)
{
    result.type = ExpressionResult::kString;
    result.number = 0;
    result.text = text;
}

void SetNumber(ExpressionResult& result, std::int32_t type, std::uint32_t number)
{
    result.type = type;
    result.number = number;
    result.text.clear();
}

void SetEnumeration(ExpressionResult& result, const EnumInfo* enumeration, std::uint32_t number)
{
    std::wstring name;
    if (enumeration && enumeration->ValueToName(number, name)) {
        result.type = ExpressionResult::kLiteral;
        result.number = 0;
        result.text = name;
    } else {
        SetNumber(result, ExpressionResult::kNumber, number);
    }
}

bool IsStringDefault(const MemberInfo& info, const ExpressionResult& value)
{
    if (value.type != ExpressionResult::kString) return false;
    switch (info.kind) {
    case MemberInfo::kWString: return value.text == info.wstringDefault;
    case MemberInfo::kString:
        return value.text ==
               CodePageToWString(info.stringDefault.data(), static_cast<int>(info.stringDefault.size()), info.codePage);
    case MemberInfo::kNoCrtString:
        return value.text == CodePageToWString(info.ncStringDefault.c_str(),
                                               static_cast<int>(info.ncStringDefault.size()), info.codePage);
    default: return false;
    }
}

std::wstring Decimal(std::uint32_t value) { return UIntToWString(value, 10, 0); }

// The member's kind and default as "?" lists it, after its name.
std::wstring DescribeKind(const MemberInfo& info)
{
    std::wstring name;
    switch (info.kind) {
    case MemberInfo::kBoolean:
        return std::wstring(L", boolean, default=") + (info.boolDefault ? L"true" : L"false");
    case MemberInfo::kWord32:
        return L", word32, default=" + Decimal(info.word32Default) + L", min=" + Decimal(info.minimum) + L", max=" +
               (info.maximum >= 1000000 ? L"0x" + UIntToWString(info.maximum, 16, 8) : Decimal(info.maximum));
    case MemberInfo::kWord32Enum:
        if (info.enumeration) info.enumeration->ValueToName(info.word32Default, name);
        return L", word32 enum, type=" + (info.enumeration ? info.enumeration->TypeName() : std::wstring()) +
               L", default=" + name;
    case MemberInfo::kIp4Address: {
        std::wstring address;
        Ip4ToString(info.word32Default, address);
        return L", IP address, default=" + address;
    }
    case MemberInfo::kByte:
        return L", byte, default=" + Decimal(info.byteDefault) + L", min=" + Decimal(info.minimum) + L", max=" +
               Decimal(info.maximum);
    case MemberInfo::kByteEnum:
        if (info.enumeration) info.enumeration->ValueToName(info.byteDefault, name);
        return L", byte enum, type=" + (info.enumeration ? info.enumeration->TypeName() : std::wstring()) +
               L", default=" + name;
    case MemberInfo::kWString:
        return L", string (Unicode), default=" + QuoteWithEscapes(info.wstringDefault);
    case MemberInfo::kString:
        return L", string (" + CodePageName(info.codePage) + L"), default=" +
               QuoteWithEscapes(CodePageToWString(info.stringDefault.data(), static_cast<int>(info.stringDefault.size()),
                                                  info.codePage));
    case MemberInfo::kNoCrtString:
        return L", string (" + CodePageName(info.codePage) + L", nc), default=" +
               QuoteWithEscapes(CodePageToWString(info.ncStringDefault.c_str(),
                                                  static_cast<int>(info.ncStringDefault.size()), info.codePage));
    case MemberInfo::kEncrypted:
        return L", encrypted string (" + CodePageName(info.codePage) + L"), default=(empty)";
    case MemberInfo::kBinary:
        return L", binary string, default=\"" +
               BytesToHex(reinterpret_cast<const unsigned char*>(info.stringDefault.data()), info.stringDefault.size()) +
               L"\"";
    case MemberInfo::kNested:
        if (info.nestedValue) info.nestedValue->TypeName(name);
        return L", " + name + L" (query with .? for more info)";
    default:
        return L", unrecognized type";
    }
}

}  // namespace

void MemberMapEvaluator::Instruction(const std::wstring& text, RootEvaluator& root)
{
    if (text.empty()) throw EvaluationErr(L"MemberMapEvaluator: instruction is empty");
    if (!IsTrimmed(text)) throw EvaluationErr(L"MemberMapEvaluator: instruction '" + text + L"' is not trimmed");
    const std::wstring fail = L"MemberMapEvaluator: Instruction '" + text;

    std::wstring name, rest;
    const wchar_t separator = SplitAtSeparator(text, text.find_first_of(kMemberSeparators), name, rest);
    if (name.empty()) throw EvaluationErr(fail + L"' - no command or member identifier supplied");
    if (name == L"SetDefaults") {
        SetDefaults(1);
        OnMembersChanged();
        return;
    }
    if (rest.empty()) throw EvaluationErr(fail + L"' does not contain an expression");

    MemberMap& map = AccessMemberMap();
    auto found = map.members.find(name);
    if (found == map.members.end()) throw EvaluationErr(fail + L"': no member named '" + name + L"' could be found");
    MemberInfo& info = found->second;

    if (info.kind == MemberInfo::kNested) {
        if (separator != L'.' || !HasNoLeadingWhitespace(rest) || !info.nestedValue) {
            throw EvaluationErr(fail + L"': member '" + name +
                                L"' is of a constructed type, must be followed by '.' and sub-member");
        }
        info.nestedValue->Instruction(rest, root);
        OnMembersChanged();
        return;
    }
    if (info.IsPrimitive() && separator != L' ' && separator != L'\t')
        throw EvaluationErr(fail + L"': member '" + name + L"' is of a primitive type");

    ExpressionResult value;
    if (info.IsPrimitive()) root.Evaluate(rest, value, RootEvaluator::kValueContext);

    // A string member may always go back to its default (say, no profile chosen), so that a
    // "*" script that writes it replays even when the default is not among the values.
    if (info.IsPrimitive() && !info.valuesQuery.empty() && !IsStringDefault(info, value)) {
        ExpressionResult list;
        root.Evaluate(info.valuesQuery, list, RootEvaluator::kValueContext);
        if (list.type != ExpressionResult::kString) {
            throw EvaluationErr(fail + L"': values query '" + info.valuesQuery + L"' for member '" + name +
                                L"' returned an incorrect result type");
        }
        // Only lines followed by a line end count.
        std::wstring remaining = list.text;
        for (;;) {
            remaining = TrimLeadingWhitespace(remaining);
            size_t end = remaining.find_first_of(L"\r\n");
            if (end == std::wstring::npos) {
                throw EvaluationErr(fail + L"': value to be assigned does not match results of values query '" +
                                    info.valuesQuery + L"' for member '" + name + L"'");
            }
            std::wstring line = remaining.substr(0, end);
            remaining.erase(0, end + 1);
            ExpressionResult candidate;
            root.Evaluate(line, candidate, RootEvaluator::kValueContext);
            if (value == candidate) break;
        }
    }

    const bool isString = value.type == ExpressionResult::kString;
    if (info.checkDnsName && isString && info.kind >= MemberInfo::kWString && info.kind <= MemberInfo::kEncrypted &&
        !IsValidDnsNameW(info.dnsNameFlags, value.text.c_str(), static_cast<int>(value.text.size()))) {
        throw EvaluationErr(fail + L"': expression must check out as a valid DNS name");
    }

    switch (info.kind) {
    case MemberInfo::kBoolean: {
        std::uint32_t number = 0;
        if (!EnumerationValue(value, BooleanEnumInfo::Instance(), number))
            throw EvaluationErr(fail + L"': expression must be a boolean");
        *info.boolValue = number != 0;
        break;
    }
    case MemberInfo::kWord32:
    case MemberInfo::kByte:
        if (value.type != ExpressionResult::kNumber) throw EvaluationErr(fail + L"': expression must be an unsigned integer");
        if (value.number < info.minimum || value.number > info.maximum) {
            throw EvaluationErr(fail + L"': value must be between " + Decimal(info.minimum) + L" and " +
                                Decimal(info.maximum));
        }
        if (info.kind == MemberInfo::kWord32) *info.word32Value = value.number;
        else *info.byteValue = static_cast<unsigned char>(value.number);
        break;
    case MemberInfo::kWord32Enum:
    case MemberInfo::kByteEnum: {
        std::uint32_t number = 0;
        if (!info.enumeration || !EnumerationValue(value, *info.enumeration, number)) {
            throw EvaluationErr(fail + L"': expression must be a valid " +
                                (info.enumeration ? info.enumeration->TypeName() : std::wstring()) + L" value ");
        }
        if (info.kind == MemberInfo::kWord32Enum) *info.word32Value = number;
        else *info.byteValue = static_cast<unsigned char>(number);
        break;
    }
    case MemberInfo::kIp4Address:
        if (value.type != ExpressionResult::kIpAddress) throw EvaluationErr(fail + L"': expression must be an IP address");
        *info.word32Value = value.number;
        break;
    case MemberInfo::kWString:
        if (!isString) throw EvaluationErr(fail + L"': expression must be a string");
        *info.wstringValue = value.text;
        break;
    case MemberInfo::kString:
        if (!isString) throw EvaluationErr(fail + L"': expression must be a string");
        *info.stringValue = WStringToCodePage(value.text, info.codePage);
        break;
    case MemberInfo::kNoCrtString: {
        if (!isString) throw EvaluationErr(fail + L"': expression must be a string");
        std::string bytes = WStringToCodePage(value.text, info.codePage);
        info.ncStringValue->assign(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        break;
    }
    case MemberInfo::kEncrypted: {
        if (!isString) throw EvaluationErr(fail + L"': expression must be a string");
        std::string bytes = WStringToCodePage(value.text, info.codePage);
        const bool crypt = bytes.compare(0, 6, "Crypt:") == 0;
        const bool plain = bytes.compare(0, 6, "Plain:") == 0;
        if (bytes.size() < 6 || (!crypt && !plain)) {
            WipeBytes(bytes);
            throw EvaluationErr(fail + L"': expression must be a string beginning with \"Crypt:\" or \"Plain:\"");
        }
        std::string payload = bytes.substr(6);
        WipeBytes(bytes);
        if (crypt) {
            std::string stored;
            bool ok = DecodeHex(payload, stored) && AssignStoredForm(*info.cryptValue, stored);
            if (!ok) throw EvaluationErr(fail + L"': ciphertext validation failed");
        } else {
            WipeWide(value.text);
            ErrorInfo errors;
            bool ok = AssignPlaintext(*info.cryptValue, payload, errors);
            WipeBytes(payload);
            if (!ok) {
                throw EvaluationErr(fail + L"': encryption failed with the following error info: " +
                                    ErrorInfoText(errors));
            }
        }
        break;
    }
    case MemberInfo::kBinary: {
        std::string bytes;
        if (!isString || !DecodeHex(WStringToCodePage(value.text, 65001), bytes))
            throw EvaluationErr(fail + L"': expression must be a hexadecimal string");
        *info.stringValue = bytes;
        break;
    }
    default:
        throw EvaluationErr(fail + L"': member is known but is of an unrecognized type");
    }
    OnMembersChanged();
}

void MemberMapEvaluator::Expression(const std::wstring& text, RootEvaluator& root, const std::wstring& path,
                                    const std::wstring& indent, ExpressionResult& result)
{
    if (text.empty()) throw EvaluationErr(L"MemberMapEvaluator: expression is empty");
    if (!IsTrimmed(text)) throw EvaluationErr(L"MemberMapEvaluator: expression '" + text + L"' is not trimmed");
    MemberMap& map = AccessMemberMap();
    const std::wstring fail = L"MemberMapEvaluator: Expression '" + text;

    auto lookup = [&](const std::wstring& name) -> MemberInfo& {
        auto found = map.members.find(name);
        if (found == map.members.end())
            throw EvaluationErr(fail + L"': member '" + name + L"' is in order-vector but not in member-map");
        return found->second;
    };

    if (text == L"?") {
        std::wstring out = L"Supports *, %, ? queries and SetDefaults.\r\nMembers:\r\n";
        std::map<std::wstring, const EnumInfo*> enumerations;
        for (const std::wstring& name : map.order) {
            const MemberInfo& info = lookup(name);
            out += L"  " + name + DescribeKind(info) + L"\r\n";
            if (!info.valuesQuery.empty()) {
                out += L"    Restricted values: ";
                if (info.valuesQuery.size() <= 55 && info.valuesQuery.find_first_of(L"\r\n") == std::wstring::npos) {
                    out += info.valuesQuery;
                } else {
                    out += L"\r\n";
                    AppendWrappedText(out, info.valuesQuery, 72, 6);
                }
                out += L"\r\n";
            }
            if (!info.description.empty()) {
                out += L"    ";
                AppendWrappedText(out, info.description, 74, 4);
                out += L"\r\n";
            }
            if (info.kind == MemberInfo::kBoolean) {
                enumerations[BooleanEnumInfo::Instance().TypeName()] = &BooleanEnumInfo::Instance();
            } else if ((info.kind == MemberInfo::kWord32Enum || info.kind == MemberInfo::kByteEnum) && info.enumeration) {
                enumerations[info.enumeration->TypeName()] = info.enumeration;
            }
        }
        for (const auto& entry : enumerations) out += entry.second->Describe();
        SetString(result, out);
        return;
    }

    if (text == L"*" || text == L"%") {
        const bool changedOnly = text == L"%";
        std::wstring out = changedOnly && indent.empty() ? L"SetDefaults\r\n" : L"";
        for (const std::wstring& name : map.order) {
            MemberInfo& info = lookup(name);
            if (changedOnly && info.IsDefault()) continue;
            if (info.IsPrimitive()) {
                ExpressionResult value;
                Expression(name, root, path, indent, value);
                std::wstring shown;
                value.ToString(shown, true);
                out += indent + name + L" " + shown + L"\r\n";
            } else if (info.kind == MemberInfo::kNested && info.nestedValue) {
                out += DescribeEvaluatorMembers(text, *info.nestedValue, root, path, indent, name);
            }
        }
        SetString(result, out);
        return;
    }

    std::wstring name, rest;
    const wchar_t separator = SplitAtSeparator(text, text.find_first_of(kMemberSeparators), name, rest);
    auto found = map.members.find(name);
    if (found == map.members.end()) throw EvaluationErr(fail + L"': no member named '" + name + L"' could be found");
    MemberInfo& info = found->second;
    if (info.IsPrimitive() && separator != 0)
        throw EvaluationErr(fail + L"': invalid characters following primitive member '" + name + L"'");

    switch (info.kind) {
    case MemberInfo::kBoolean:
        result.type = ExpressionResult::kLiteral;
        result.number = 0;
        result.text = *info.boolValue ? L"true" : L"false";
        break;
    case MemberInfo::kWord32: SetNumber(result, ExpressionResult::kNumber, *info.word32Value); break;
    case MemberInfo::kWord32Enum: SetEnumeration(result, info.enumeration, *info.word32Value); break;
    case MemberInfo::kIp4Address: SetNumber(result, ExpressionResult::kIpAddress, *info.word32Value); break;
    case MemberInfo::kByte: SetNumber(result, ExpressionResult::kNumber, *info.byteValue); break;
    case MemberInfo::kByteEnum: SetEnumeration(result, info.enumeration, *info.byteValue); break;
    case MemberInfo::kWString: SetString(result, *info.wstringValue); break;
    case MemberInfo::kString:
        SetString(result, CodePageToWString(info.stringValue->data(), static_cast<int>(info.stringValue->size()),
                                            info.codePage));
        break;
    case MemberInfo::kNoCrtString:
        SetString(result, CodePageToWString(info.ncStringValue->c_str(), static_cast<int>(info.ncStringValue->size()),
                                            info.codePage));
        break;
    case MemberInfo::kEncrypted: {
        std::string stored = StoredForm(*info.cryptValue);
        SetString(result, L"Crypt:" + BytesToHex(reinterpret_cast<const unsigned char*>(stored.data()), stored.size()));
        break;
    }
    case MemberInfo::kBinary:
        SetString(result,
                  BytesToHex(reinterpret_cast<const unsigned char*>(info.stringValue->data()), info.stringValue->size()));
        break;
    case MemberInfo::kNested: {
        const std::wstring childPath = JoinMemberPath(path, name);
        if (separator == 0) {
            SetString(result, childPath);
            result.reference = 1;
            return;
        }
        if (separator != L'.' || rest.empty() || !HasNoLeadingWhitespace(rest) || !info.nestedValue)
            throw EvaluationErr(fail + L"': unrecognized trailing characters after member name");
        info.nestedValue->Expression(rest, root, childPath, std::wstring(), result);
        break;
    }
    default:
        throw EvaluationErr(fail + L"': member is known but is of an unrecognized type");
    }
}

std::wstring DescribeEvaluatorMembers(const std::wstring& query, Evaluator& nested, RootEvaluator& root,
                                      const std::wstring& path, const std::wstring& indent, const std::wstring& name)
{
    const std::wstring childPath = JoinMemberPath(path, name);
    ExpressionResult lines;
    nested.Expression(query, root, childPath, indent + L"  ", lines);
    if (lines.type != ExpressionResult::kString) {
        throw EvaluationErr(L"DescribeEvaluatorMembers: the equivalent of a '" + childPath + L"." + query +
                            L"' query returned with an invalid result type");
    }
    size_t lineFeeds = 0;
    for (wchar_t c : lines.text) lineFeeds += c == L'\n';
    if (lineFeeds >= 3) return indent + L"With " + name + L" {\r\n" + lines.text + indent + L"}\r\n";

    std::wstring out;
    std::wstring remaining = TrimWhitespace(lines.text);
    for (;;) {
        remaining = TrimLeadingWhitespace(remaining);
        size_t end = remaining.find_first_of(L"\r\n");
        out += indent + name + L"." + remaining.substr(0, end) + L"\r\n";
        if (end == std::wstring::npos) break;
        remaining.erase(0, end + 1);
    }
    return out;
}
