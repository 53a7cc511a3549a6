// The fault tests' installer: with ORVIDEX_INJECTED_FAULT set, it faults at one cut point
// (ORVIDEX_INJECTED_FAULT_AT: "after-steps", once every step stands, unless set; "payload-N",
// once the Nth payload file is written), in the way the variable names:
//   strlen  the C runtime's strlen reads through a bad pointer (building a std::string)
//   memcpy  the C runtime's memcpy reads through a bad pointer
//   win32   a Win32 call (GetModuleFileNameA) writes through a bad pointer
#pragma once

#include <string>

void InjectFaultAt(const std::string& point);
