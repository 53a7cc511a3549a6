// How a process that changed the stored settings tells the running server: the one-byte
// flag "SignalingChanges" under the product key (0xFF pending, 0x00 dealt with), which
// survives until the server resets it, and the named event the server waits on. The server
// creates the event; this side only opens and sets it.
#pragma once

#include <windows.h>

#include <string>

namespace ChangeSignal {

extern const char* const FlagValueName;  // "SignalingChanges"
extern const char* const EventName;      // "MorluneOrvidexConfigChangeEvent"

// Raises both signals and returns what failed, empty when nothing did. Without a product key
// (null) keyFailure is the failure to report for the flag; the event is tried either way.
// No server waiting (no event) is not a failure. Failures are joined by a line feed.
std::wstring Raise(HKEY productKey, const std::wstring& keyFailure);

// Sets the flag back to 0x00; throws OrvidexCfgException on a registry failure.
void Reset(HKEY productKey);

// Whether changes are pending (any nonzero byte); throws OrvidexCfgException when the value
// cannot be read as one byte (missing, or longer).
bool Query(HKEY productKey);

}  // namespace ChangeSignal
