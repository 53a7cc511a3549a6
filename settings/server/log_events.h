// The events the server can log: their names and numbers, the five event groups (one per
// level) and the log levels of the settings.
//
// An event's number is level digit * 10000 + source digit * 1000 + index, with the level
// digits E 1, W 2, I 3, T 4, D 5 and the source digit 4 for the SFTP server's events
// ("LOG_x_DUZAZ_..."), else 0. Two trace events carry the dump digit in their numbers
// (50194, 50197). Lookups from a number use only its index, the number modulo 1000.
#pragma once

#include <cstdint>
#include <string>

#include "RoVodEre/NoCrtCore.h"
#include "settings/framework/enum_info.h"

// Event indices run from 1 to kEventSlotCount; some slots have no event.
const std::uint32_t kEventSlotCount = 202;

// The name of the event with the number's index, or "unrecognized event number".
const char* EventNumberToName(std::uint32_t number);
// The number of the event of that name, letters a to z matching either case; 0 for none.
std::uint32_t EventNameToNumber(const std::string& name);

// The event numbers of each level, in the order the settings language lists them, each
// list ended by 0.
extern const std::uint32_t ErrorEventGroup[];
extern const std::uint32_t WarningEventGroup[];
extern const std::uint32_t InfoEventGroup[];
extern const std::uint32_t TraceEventGroup[];
extern const std::uint32_t DumpEventGroup[];

// Which events a log destination takes; logLevelCustom means those on in its event list.
enum LogLevel : unsigned char {
    logLevelE = 0,
    logLevelEW = 1,
    logLevelEWI = 2,
    logLevelEWIT = 3,
    logLevelEWITD = 4,
    logLevelCustom = 9,
};

// "LogLevel": the names of LogLevel, without alternate names.
class LogLevelEnumInfo : public EnumInfo, public Singleton<LogLevelEnumInfo>, public ObjectBase {
public:
    LogLevelEnumInfo();
    static const LogLevelEnumInfo& Instance();
};
