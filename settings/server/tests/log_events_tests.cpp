#include <gtest/gtest.h>

#include <set>

#include "settings/server/log_events.h"

namespace {

TEST(LogEvents, NumberToName)
{
    const struct {
        std::uint32_t number;
        const char* name;
    } cases[] = {
        {30005, "LOG_I_SERVICE_STARTED"},
        {5, "LOG_I_SERVICE_STARTED"},
        {77005, "LOG_I_SERVICE_STARTED"},
        {34108, "LOG_I_DUZAZ_STARTING"},
        {202, "LOG_I_CONNECTION_IPLOCKEDOUT"},
        {0, "unrecognized event number"},
        {1000, "unrecognized event number"},
        {4294967000u, "unrecognized event number"},
        {203, "unrecognized event number"},
        {3, "unrecognized event number"},   // a slot without an event
        {88, "unrecognized event number"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(c.name, EventNumberToName(c.number)) << c.number;
}

TEST(LogEvents, NameToNumber)
{
    const struct {
        const char* name;
        std::uint32_t number;
    } cases[] = {
        {"LOG_I_SERVICE_STARTED", 30005},
        {"log_i_service_started", 30005},
        {"LOG_I_SERVICE_STARTED ", 0},
        {"", 0},
        {"LOG_I_DUZAZ_STARTING", 34108},
        {"LOG_E_DUZAZ_TERMINATEDBYEXCEPTION", 14133},
        {"LOG_T_DUZAZ_CLOSE", 44112},
        {"LOG_T_SESSION_MGR_EMPTYPACKETS", 50194},
        {"LOG_T_SESSION_MGR_PKTDATAREMAINING", 50197},
        {"LOG_E_10061_DISUSED", 10061},
        {"LOG_W_LOGON_LOGONUSER_FAILED", 20039},
        {"LOG_D_SESSION_PKENC_OUTPACKETS", 50190},
        {"unrecognized event number", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.number, EventNameToNumber(c.name)) << c.name;
}

// Every named slot belongs to exactly one group, the group of its name's level letter,
// and the two lookups give each other's results back.
TEST(LogEvents, GroupsCoverEveryNamedSlotOnce)
{
    const struct {
        const std::uint32_t* group;
        char letter;
    } groups[] = {{ErrorEventGroup, 'E'}, {WarningEventGroup, 'W'}, {InfoEventGroup, 'I'},
                  {TraceEventGroup, 'T'}, {DumpEventGroup, 'D'}};
    std::set<std::uint32_t> seen;
    for (const auto& g : groups) {
        for (const std::uint32_t* n = g.group; *n; ++n) {
            const char* name = EventNumberToName(*n);
            EXPECT_EQ(g.letter, name[4]) << *n;
            EXPECT_EQ(*n, EventNameToNumber(name)) << name;
            EXPECT_TRUE(seen.insert(*n % 1000).second) << *n;
        }
    }
    for (std::uint32_t index = 1; index <= kEventSlotCount; ++index) {
        const bool named = std::string(EventNumberToName(index)) != "unrecognized event number";
        EXPECT_EQ(named, seen.count(index) == 1) << index;
    }
    EXPECT_EQ(192u, seen.size());
}

TEST(LogEvents, GroupOrders)
{
    std::vector<std::uint32_t> dump(DumpEventGroup, DumpEventGroup + 4);
    EXPECT_EQ((std::vector<std::uint32_t>{50190, 50191, 50192, 50193}), dump);
    EXPECT_EQ(0u, DumpEventGroup[4]);

    std::vector<std::uint32_t> trace;
    for (const std::uint32_t* n = TraceEventGroup; *n; ++n)
        trace.push_back(*n);
    ASSERT_GE(trace.size(), 4u);
    EXPECT_EQ((std::vector<std::uint32_t>{40195, 40196, 50194, 50197}),
              std::vector<std::uint32_t>(trace.end() - 4, trace.end()));

    std::vector<std::uint32_t> warning;
    for (const std::uint32_t* n = WarningEventGroup; *n; ++n)
        warning.push_back(*n);
    auto at48 = std::find(warning.begin(), warning.end(), 20048u);
    ASSERT_TRUE(at48 + 3 < warning.end());
    EXPECT_EQ((std::vector<std::uint32_t>{20048, 20057, 20058, 20051}), std::vector<std::uint32_t>(at48, at48 + 4));
}

TEST(LogEvents, LogLevelEnumeration)
{
    const EnumInfo& levels = LogLevelEnumInfo::Instance();
    EXPECT_EQ(L"LogLevel", levels.TypeName());
    std::uint32_t value = 0;
    EXPECT_TRUE(levels.NameToValue(L"logLevelCustom", value));
    EXPECT_EQ(9u, value);
    EXPECT_FALSE(levels.NameToValue(L"logLevelewi", value));
    std::wstring name;
    EXPECT_TRUE(levels.ValueToName(4, name));
    EXPECT_EQ(L"logLevelEWITD", name);
    EXPECT_FALSE(levels.ValueToName(5, name));
    EXPECT_THROW(LogLevelEnumInfo(), Singleton<LogLevelEnumInfo>::AlreadyExists);
}

} // namespace
