// Error channel of code that does not throw: failing operations leave texts here and
// return false; whoever reports the failure turns the texts into one message.
#pragma once

#include "RoVodEre/NoCrtString.h"
#include "RoVodEre/NoCrtVector.h"

class ErrorInfo : public AllocFailState {
public:
    typedef NoCrtVector<NoCrtString> TextList;

    // Oldest first; texts are stored without their "[Error] " style prefixes.
    TextList infos;
    TextList warnings;
    TextList errors;

    ErrorInfo() {}

    // Empties the lists and forgets every failure mark, so the object records again.
    ErrorInfo& Clear();

    // Appends a copy of text to list (one of this object's three). Returns af_: 0, or the
    // mark of a failed allocation, after which nothing more is recorded.
    int Add(const NoCrtString& text, TextList& list);
    int AddError(const NoCrtString& text) { return Add(text, errors); }
    int AddWarning(const NoCrtString& text) { return Add(text, warnings); }

    // Every entry, errors first, then warnings, then infos, each with its prefix, one
    // separator between two entries. Empty when af_ is set.
    NoCrtString Describe(const char* separator);
    NoCrtString DescribeErrors(const char* separator) { return DescribeList(errors, "[Error] ", separator); }
    NoCrtString DescribeWarnings(const char* separator) { return DescribeList(warnings, "[Warning] ", separator); }
    NoCrtString DescribeInfos(const char* separator) { return DescribeList(infos, "[Info] ", separator); }
    NoCrtString DescribeList(const TextList& list, const char* prefix, const char* separator);
};
