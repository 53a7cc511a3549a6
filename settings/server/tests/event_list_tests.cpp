#include <gtest/gtest.h>

#include "foundation/structured_exception.h"
#include "settings/framework/expression.h"
#include "settings/server/event_list.h"

namespace {

class EventListLanguage : public ::testing::Test {
protected:
    EventList list;
    RootEvaluator root{&list};

    // "" when the instruction worked, else its message.
    std::wstring Run(const std::wstring& text)
    {
        try {
            list.Instruction(text, root);
            return L"";
        } catch (const EvaluationErr& e) {
            return e.WideMessage().text;
        }
    }

    // The answer's text, "literal:" before a bare word, or "ERR " and the message.
    std::wstring Query(const std::wstring& text, const std::wstring& indent = L"")
    {
        try {
            ExpressionResult result;
            list.Expression(text, root, L"", indent, result);
            return (result.type == ExpressionResult::kLiteral ? L"literal:" : L"") + result.text;
        } catch (const EvaluationErr& e) {
            return L"ERR " + e.WideMessage().text;
        }
    }

    std::wstring DefaultListText()
    {
        std::wstring text(202, L'1');
        for (const std::uint32_t* group : {TraceEventGroup, DumpEventGroup}) {
            for (; *group; ++group)
                text[*group % 1000 - 1] = L'0';
        }
        return text;
    }
};

TEST_F(EventListLanguage, NewListIsAtItsDefaults)
{
    EXPECT_EQ(202u, list.Count());
    EXPECT_TRUE(list.IsDefault());
    const std::wstring text = Query(L"List");
    ASSERT_EQ(202u, text.size());
    EXPECT_EQ(DefaultListText(), text);
    EXPECT_EQ(L'0', text[193]);
    EXPECT_EQ(L'0', text[196]);
    EXPECT_EQ(L"SetDefaults\r\n", Query(L"%"));
    EXPECT_EQ(L"", Query(L"%", L"  "));
    EXPECT_EQ(L"  List \"" + text + L"\"\r\n", Query(L"*", L"  "));
    EXPECT_EQ(L"literal:on", Query(L"LOG_W_LOGON_LOGONUSER_FAILED"));
    EXPECT_EQ(L"event list", [&] { std::wstring n; list.TypeName(n); return n; }());
}

TEST_F(EventListLanguage, AllTraceOnListsTheChanges)
{
    EXPECT_EQ(L"", Run(L"AllTrace on"));
    EXPECT_TRUE(list.IsOn(40135));
    EXPECT_TRUE(list.IsOn(50194));
    EXPECT_FALSE(list.IsOn(50190));
    const std::wstring script = Query(L"%");
    EXPECT_EQ(0u, script.find(L"SetDefaults\r\nLOG_T_DUZAZ_CLOSE on\r\nLOG_T_DUZAZ_READ on\r\n"));
    EXPECT_NE(std::wstring::npos, script.find(L"LOG_T_SESSION_MGR_EMPTYPACKETS on\r\nLOG_T_SESSION_MGR_KEXMSGQUEUE on\r\n"));
    EXPECT_EQ(std::wstring::npos, script.find(L" off"));
    EXPECT_EQ(L"", Run(L"SetDefaults whatever follows"));
    EXPECT_TRUE(list.IsDefault());
}

TEST_F(EventListLanguage, Instructions)
{
    const std::wstring event5 = L"LOG_I_SERVICE_STARTED";
    struct Case {
        const wchar_t* instruction;
        const wchar_t* failure;  // "" for success
    };
    const Case cases[] = {
        {L"", L"EventList: instruction is empty"},
        {L" AllTrace on", L"EventList: instruction ' AllTrace on' is not trimmed"},
        {L"AllTrace on\t", L"EventList: instruction 'AllTrace on\t' is not trimmed"},
        {L".on", L"EventList: Instruction '.on': left-hand instruction part is empty"},
        {L"List", L"EventList: Instruction 'List': RootEvaluator: expression is empty"},
        {L"List \"\"", L"EventList: Instruction 'List \"\"': missing event-list argument"},
        {L"List \"012\"", L"EventList: Instruction 'List \"012\"': invalid characters in event-list argument"},
        {L"List 0101", L"EventList: Instruction 'List 0101': invalid argument type"},
        {L"AllErrors yes", L"EventList: Instruction 'AllErrors yes': argument must be a valid event setting"},
        {L"AllErrors \"on\"", L"EventList: Instruction 'AllErrors \"on\"': argument must be a valid event setting"},
        {L"AllErrors 2", L"EventList: Instruction 'AllErrors 2': argument must be a valid event setting"},
        {L"AllErrors On", L"EventList: Instruction 'AllErrors On': argument must be a valid event setting"},
        {L"AllErrors 1.2.3.4", L"EventList: Instruction 'AllErrors 1.2.3.4': argument must be a valid event setting"},
        {L"SetToLogLevel high",
         L"EventList: Instruction 'SetToLogLevel high': argument must be a valid LogLevel value"},
        {L"SetToLogLevel 5", L"EventList: Instruction 'SetToLogLevel 5': argument must be a valid LogLevel value"},
        {L"0 on", L"EventList: Instruction '0 on' could not be interpreted"},
        {L"1000 on", L"EventList: Instruction '1000 on' could not be interpreted"},
        {L"203 on", L"EventList: Instruction '203 on' could not be interpreted"},
        {L"5x on", L"EventList: Instruction '5x on' could not be interpreted"},
        {L"setdefaults on", L"EventList: Instruction 'setdefaults on' could not be interpreted"},
        {L"5 maybe", L"EventList: Instruction '5 maybe': argument must be a valid event setting"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.failure, Run(c.instruction)) << c.instruction;
        EXPECT_TRUE(list.IsDefault()) << c.instruction;  // a failed instruction changes nothing
    }

    // Event 5 by name in either case and by any number with index 5.
    for (const std::wstring& keyword : {event5, std::wstring(L"log_i_service_started"), std::wstring(L"30005"),
                                        std::wstring(L"5"), std::wstring(L"7005")}) {
        for (const wchar_t* setting : {L" off", L" 0", L".off"}) {
            ASSERT_EQ(L"", Run(keyword + setting));
            EXPECT_FALSE(list.IsOn(30005)) << keyword << setting;
            EXPECT_EQ(L"literal:off", Query(event5));
            EXPECT_EQ(L"literal:off", Query(L"5"));
            ASSERT_EQ(L"", Run(event5 + L" on"));
            EXPECT_TRUE(list.IsDefault());
        }
    }

    // An argument may be the value of another setting.
    EXPECT_EQ(L"", Run(L"5 $LOG_I_SERVICE_STOPPED"));
    EXPECT_TRUE(list.IsOn(5));
}

TEST_F(EventListLanguage, ListInstruction)
{
    EXPECT_EQ(L"", Run(L"List \"0\""));
    const std::wstring text = Query(L"List");
    EXPECT_EQ(L'0', text[0]);
    EXPECT_EQ(DefaultListText().substr(1), text.substr(1));

    // Characters past the last slot are ignored.
    EXPECT_EQ(L"", Run(L"List \"" + std::wstring(210, L'1') + L"\""));
    EXPECT_EQ(std::wstring(202, L'1'), Query(L"List"));
    // The unnamed slot 3 is listed under the text of unknown numbers.
    EXPECT_EQ(L"", Run(L"SetDefaults"));
    EXPECT_EQ(L"", Run(L"List \"110\""));
    EXPECT_EQ(L"SetDefaults\r\nunrecognized event number off\r\n", Query(L"%"));
}

TEST_F(EventListLanguage, Levels)
{
    EXPECT_EQ(L"", Run(L"SetToLogLevel logLevelEW"));
    for (std::uint32_t i = 1; i <= 202; ++i) {
        const char* name = EventNumberToName(i);
        const bool named = std::string(name) != "unrecognized event number";
        const bool expected = !named || name[4] == 'E' || name[4] == 'W';
        EXPECT_EQ(expected, list.IsOn(i)) << name;
    }
    const std::wstring ew = Query(L"List");
    EXPECT_EQ(L"", Run(L"SetToLogLevel logLevelEWITD"));
    EXPECT_EQ(L"", Run(L"SetToLogLevel 9"));
    EXPECT_EQ(ew, Query(L"List"));
    EXPECT_EQ(L"", Run(L"SetToLogLevel 3"));
    EXPECT_TRUE(list.IsOn(50197));
    EXPECT_FALSE(list.IsOn(50193));

    EventList custom;
    custom.SetAll(false);
    custom.SetToLogLevel(logLevelE);
    EXPECT_TRUE(custom.IsOn(10004));
    EXPECT_FALSE(custom.IsOn(20002));
    EXPECT_FALSE(custom.IsOn(3));  // slots outside every group keep their value
    EventList other;
    other.SetAll(false);
    other.SetGroup(DumpEventGroup, true);
    custom.Merge(other);
    EXPECT_TRUE(custom.IsOn(50191));
    EXPECT_TRUE(custom.IsOn(10004));
}

TEST_F(EventListLanguage, Queries)
{
    EXPECT_EQ(L"ERR EventList: expression is empty", Query(L""));
    EXPECT_EQ(L"ERR EventList: expression ' List' is not trimmed", Query(L" List"));
    EXPECT_EQ(L"ERR EventList: Expression 'foo' could not be interpreted", Query(L"foo"));
    EXPECT_EQ(L"ERR EventList: Expression '203' could not be interpreted", Query(L"203"));
    EXPECT_EQ(L"[190] LOG_D_SESSION_PKENC_OUTPACKETS\r\n[191] LOG_D_SESSION_PKENC_OUTPACKETDATA\r\n"
              L"[192] LOG_D_SESSION_PKDEC_INPACKETS\r\n[193] LOG_D_SESSION_PKDEC_INPACKETDATA\r\n",
              Query(L"DumpEvents"));
    const std::wstring trace = Query(L"TraceEvents");
    const std::wstring tail = L"[196] LOG_T_SESSION_MGR_KEXGUESS\r\n[194] LOG_T_SESSION_MGR_EMPTYPACKETS\r\n"
                              L"[197] LOG_T_SESSION_MGR_PKTDATAREMAINING\r\n";
    EXPECT_EQ(tail, trace.substr(trace.size() - tail.size()));
    EXPECT_NE(std::wstring::npos, Query(L"InfoEvents").find(L"[005] LOG_I_SERVICE_STARTED\r\n"));
    EXPECT_EQ(0u, Query(L"ErrorEvents").find(L"[004] LOG_E_SERVICE_WSAEVENTSELECT_FAILED\r\n"));
    EXPECT_EQ(0u, Query(L"WarningEvents").find(L"[002] LOG_W_SERVICE_NETUSERMODALSGET_FAILED\r\n"));

    const std::wstring help = Query(L"?");
    EXPECT_EQ(0u, help.find(L"Instructions:\r\n  List <event-list>, event-list = a string of 0|1 corresponding to "
                            L"events\r\n"));
    const std::wstring helpEnd = L"  <event-number> - retrieves the setting for the specified event\r\n" +
                                 LogLevelEnumInfo::Instance().Describe();
    EXPECT_EQ(helpEnd, help.substr(help.size() - helpEnd.size()));
}

TEST(EventList, IndexOutsideTheTableFaults)
{
    EventList list;
    EXPECT_THROW(list.IsOn(0), SE_AccessViolation);
    EXPECT_THROW(list.IsOn(50203), SE_AccessViolation);
    EXPECT_EQ(4u, EventList::IndexOf(30005));
    EXPECT_EQ(5u, EventList::NumberAt(4));

    EventList copy;
    copy.SetAll(false);
    EventList source;
    source.SetToLogLevel(logLevelEWIT);
    copy = source;
    EXPECT_TRUE(copy.IsOn(40135));
    EXPECT_FALSE(copy.IsDefault());  // the defaults came along: they are the constructor's
    copy.SetDefaults(0);
    EXPECT_FALSE(copy.IsOn(40135));
}

} // namespace
