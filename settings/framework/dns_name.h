// DNS-name check of the settings: one or more labels of letters, digits (and, when asked,
// characters above 127) separated by single dots, hyphens inside a label, at most 253
// characters; with kDnsAllowWildcard the first label may be a lone '*'.
#pragma once

enum DnsNameFlags {
    kDnsAllowWildcard = 1,  // '*' may stand as the very first character
    kDnsAllowNonAscii = 2,  // characters above 127 are label characters (narrow text as UTF-8)
};

// count: the number of bytes to check; negative checks up to the first NUL.
bool IsValidDnsName(int flags, const char* text, int count);
// count: the number of UTF-16 code units to check; negative checks up to the first NUL.
bool IsValidDnsNameW(int flags, const wchar_t* text, int count);
