#include "settings/server/event_list.h"

#include <cstdlib>
#include <cstring>

#include "foundation/structured_exception.h"
#include "settings/framework/expression.h"
#include "settings/framework/language_text.h"

namespace {

const wchar_t kHelpText[] =
    L"Instructions:\r\n"
    L"  List <event-list>, event-list = a string of 0|1 corresponding to events\r\n"
    L"  AllErrors <setting>, setting = on | off | 1 | 0\r\n"
    L"  AllWarnings <setting>, setting = on | off | 1 | 0\r\n"
    L"  AllInfo <setting>, setting = on | off | 1 | 0\r\n"
    L"  AllTrace <setting>, setting = on | off | 1 | 0\r\n"
    L"  AllDump <setting>, setting = on | off | 1 | 0\r\n"
    L"  SetToLogLevel <log-level>, log-level = a valid LogLevel value\r\n"
    L"  <event-name> <setting>\r\n"
    L"  <event-number> <setting>\r\n"
    L"Queries:\r\n"
    L"  List - retrieves event-list string of 0|1 corresponding to events\r\n"
    L"  ErrorEvents - displays the names and numbers of all error events\r\n"
    L"  WarningEvents - displays the names and numbers of all warning events\r\n"
    L"  InfoEvents - displays the names and numbers of all info events\r\n"
    L"  TraceEvents - displays the names and numbers of all trace events\r\n"
    L"  DumpEvents - displays the names and numbers of all dump events\r\n"
    L"  <event-name> - retrieves the setting for the specified event\r\n"
    L"  <event-number> - retrieves the setting for the specified event\r\n";

struct GroupKeyword {
    const wchar_t* instruction;  // sets every event of the group
    const wchar_t* query;        // lists the group
    const std::uint32_t* group;
};

const GroupKeyword kGroupKeywords[] = {
    {L"AllErrors", L"ErrorEvents", ErrorEventGroup},
    {L"AllWarnings", L"WarningEvents", WarningEventGroup},
    {L"AllInfo", L"InfoEvents", InfoEventGroup},
    {L"AllTrace", L"TraceEvents", TraceEventGroup},
    {L"AllDump", L"DumpEvents", DumpEventGroup},
};

// An event named by its name (either case of a to z) or by a decimal number; the index
// is 0 when neither gives one.
std::uint32_t EventIndexOfKeyword(const std::wstring& keyword)
{
    std::uint32_t number = EventNameToNumber(WStringToCodePage(keyword, 65001));
    if (number == 0) {
        wchar_t* end = nullptr;
        unsigned long value = std::wcstoul(keyword.c_str(), &end, 10);
        number = (end && *end == L'\0') ? static_cast<std::uint32_t>(value) : 0;
    }
    const std::uint32_t index = number % 1000;
    return index <= kEventSlotCount ? index : 0;
}

bool IsZeroOneString(const std::wstring& text)
{
    for (wchar_t c : text) {
        if (c != L'0' && c != L'1')
            return false;
    }
    return true;
}

} // namespace

EventList::EventList()
{
    SetAll(true);
    SetGroup(TraceEventGroup, false);
    SetGroup(DumpEventGroup, false);
    std::memcpy(defaults_, flags_, sizeof flags_);
}

EventList& EventList::operator=(const EventList& src)
{
    std::memcpy(flags_, src.flags_, sizeof flags_);
    std::memcpy(defaults_, src.defaults_, sizeof defaults_);
    return *this;
}

void EventList::SetDefaults(int)
{
    std::memcpy(flags_, defaults_, sizeof flags_);
}

bool EventList::IsDefault()
{
    return std::memcmp(flags_, defaults_, sizeof flags_) == 0;
}

void EventList::SetAll(bool on)
{
    std::memset(flags_, on ? 1 : 0, sizeof flags_);
}

std::uint32_t EventList::IndexOf(std::uint32_t number)
{
    const std::uint32_t index = number % 1000;
    if (index == 0 || index > kEventSlotCount)
        throw SE_AccessViolation();
    return index - 1;
}

bool EventList::IsOn(std::uint32_t number) const
{
    return flags_[IndexOf(number)] != 0;
}

void EventList::SetGroup(const std::uint32_t* group, bool on)
{
    for (; *group; ++group)
        flags_[IndexOf(*group)] = on ? 1 : 0;
}

void EventList::Merge(const EventList& other)
{
    for (std::uint32_t i = 0; i < kEventSlotCount; ++i) {
        if (other.flags_[i])
            flags_[i] = 1;
    }
}

void EventList::SetToLogLevel(unsigned char level)
{
    if (level > logLevelEWIT)
        return;
    SetGroup(ErrorEventGroup, true);
    SetGroup(WarningEventGroup, level >= logLevelEW);
    SetGroup(InfoEventGroup, level >= logLevelEWI);
    SetGroup(TraceEventGroup, level == logLevelEWIT);
    SetGroup(DumpEventGroup, false);
}

bool ParseEventSetting(const ExpressionResult& value, const std::wstring& instruction)
{
    if (value.type == ExpressionResult::kNumber && value.number <= 1)
        return value.number == 1;
    if (value.type == ExpressionResult::kLiteral && (value.text == L"on" || value.text == L"off"))
        return value.text == L"on";
    throw EvaluationErr(L"EventList: Instruction '" + instruction + L"': argument must be a valid event setting");
}

std::wstring DescribeEventGroup(const std::uint32_t* group)
{
    std::wstring out;
    for (; *group; ++group) {
        out += L"[" + UIntToWString(*group % 1000, 10, 3) + L"] ";
        out += CodePageToWString(EventNumberToName(*group), -1, 65001) + L"\r\n";
    }
    return out;
}

void EventList::Instruction(const std::wstring& text, RootEvaluator& root)
{
    if (text.empty())
        throw EvaluationErr(L"EventList: instruction is empty");
    if (!IsTrimmed(text))
        throw EvaluationErr(L"EventList: instruction '" + text + L"' is not trimmed");
    std::wstring keyword, argument;
    SplitAtSeparator(text, text.find_first_of(L". \t"), keyword, argument);
    if (keyword.empty())
        throw EvaluationErr(L"EventList: Instruction '" + text + L"': left-hand instruction part is empty");
    if (keyword == L"SetDefaults") {
        SetDefaults(1);
        return;
    }

    ExpressionResult value;
    try {
        root.Evaluate(argument, value, RootEvaluator::kValueContext);
    } catch (const EvaluationErr& e) {
        throw EvaluationErr(L"EventList: Instruction '" + text + L"': " + e.WideMessage().text);
    }

    if (keyword == L"List") {
        if (value.type != ExpressionResult::kString)
            throw EvaluationErr(L"EventList: Instruction '" + text + L"': invalid argument type");
        if (value.text.empty())
            throw EvaluationErr(L"EventList: Instruction '" + text + L"': missing event-list argument");
        if (!IsZeroOneString(value.text))
            throw EvaluationErr(L"EventList: Instruction '" + text + L"': invalid characters in event-list argument");
        for (std::uint32_t i = 0; i < kEventSlotCount && i < value.text.size(); ++i)
            flags_[i] = value.text[i] == L'1' ? 1 : 0;
        return;
    }
    for (const GroupKeyword& group : kGroupKeywords) {
        if (keyword == group.instruction) {
            SetGroup(group.group, ParseEventSetting(value, text));
            return;
        }
    }
    if (keyword == L"SetToLogLevel") {
        unsigned char level = 0;
        if (!ExpressionResult::ToEnumValue(value, level, LogLevelEnumInfo::Instance()))
            throw EvaluationErr(L"EventList: Instruction '" + text + L"': argument must be a valid LogLevel value");
        SetToLogLevel(level);
        return;
    }
    const std::uint32_t index = EventIndexOfKeyword(keyword);
    if (index == 0)
        throw EvaluationErr(L"EventList: Instruction '" + text + L"' could not be interpreted");
    flags_[index - 1] = ParseEventSetting(value, text) ? 1 : 0;
}

void EventList::Expression(const std::wstring& text, RootEvaluator&, const std::wstring&,
                           const std::wstring& indent, ExpressionResult& result)
{
    if (text.empty())
        throw EvaluationErr(L"EventList: expression is empty");
    if (!IsTrimmed(text))
        throw EvaluationErr(L"EventList: expression '" + text + L"' is not trimmed");

    result.Clear();
    result.type = ExpressionResult::kString;
    if (text == L"?") {
        result.text = kHelpText + LogLevelEnumInfo::Instance().Describe();
        return;
    }
    if (text == L"%") {
        result.text = indent.empty() ? L"SetDefaults\r\n" : L"";
        for (std::uint32_t i = 0; i < kEventSlotCount; ++i) {
            if (flags_[i] == defaults_[i])
                continue;
            result.text += indent + CodePageToWString(EventNumberToName(NumberAt(i)), -1, 65001);
            result.text += flags_[i] ? L" on\r\n" : L" off\r\n";
        }
        return;
    }
    std::wstring list;
    for (std::uint32_t i = 0; i < kEventSlotCount; ++i)
        list += flags_[i] ? L'1' : L'0';
    if (text == L"List") {
        result.text = list;
        return;
    }
    if (text == L"*") {
        result.text = indent + L"List " + QuoteWithEscapes(list) + L"\r\n";
        return;
    }
    for (const GroupKeyword& group : kGroupKeywords) {
        if (text == group.query) {
            result.text = DescribeEventGroup(group.group);
            return;
        }
    }
    const std::uint32_t index = EventIndexOfKeyword(text);
    if (index == 0)
        throw EvaluationErr(L"EventList: Expression '" + text + L"' could not be interpreted");
    result.type = ExpressionResult::kLiteral;
    result.text = flags_[index - 1] ? L"on" : L"off";
}
