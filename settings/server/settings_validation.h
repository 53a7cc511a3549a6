// The checks of a whole settings tree, as the holder's Validate runs them.
#pragma once

#include <string>

#include "RoVodEre/ErrorInfo.h"
#include "settings/server/cfg_root.h"

// True when a check fails, with its message; the checks after it do not run.
bool FirstValidationFailure(CfgRoot& root, std::wstring& message);
// The part of the checks that covers templates, the default template, accounts and hosts.
bool FirstAccessFailure(CfgRoot& root, std::wstring& message);

// The collected texts of a validity check as one wide text, read in the ANSI code page.
std::wstring DescribeValidityErrors(ErrorInfo& info, const char* separator);
