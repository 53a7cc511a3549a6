#include "RoVodEre/ErrorInfo.h"

namespace {

// Deletes every text, last first, and resets the marks of the list and of its pointer
// store, which a plain resize would refuse to touch once the store's growth had failed.
void ResetList(ErrorInfo::TextList& list) {
    datavect<NoCrtString*>& store = list.ptrs_;
    while (store.s_) {
        delete store.p_[store.s_ - 1];
        store.p_[--store.s_] = nullptr;
    }
    store.af_ = 0;
    list.af_ = 0;
}

// Strings grow exactly, so the whole text gets its room first: appending tens of thousands
// of texts must not copy the text so far each time. False after marking result.
bool ReserveText(NoCrtString& result, std::uint64_t characters) {
    return characters == 0 || result.reserve(characters + 1) == 0;
}

}  // namespace

ErrorInfo& ErrorInfo::Clear() {
    af_ = 0;
    ResetList(infos);
    ResetList(warnings);
    ResetList(errors);
    return *this;
}

int ErrorInfo::Add(const NoCrtString& text, TextList& list) {
    if (af_) return af_;
    if (text.af_) return af_ = text.af_;
    list.push_back(text);
    af_ = list.af_;
    // The copy itself may have failed to get its buffer; that is a lost text too.
    if (!af_ && list.ptrs_.p_[list.ptrs_.s_ - 1]->af_) af_ = list.ptrs_.p_[list.ptrs_.s_ - 1]->af_;
    return af_;
}

NoCrtString ErrorInfo::DescribeList(const TextList& list, const char* prefix, const char* separator) {
    if (af_) return NoCrtString();
    NoCrtString result;
    const std::uint64_t prefixLength = SafeStrLen(prefix);
    const std::uint64_t separatorLength = SafeStrLen(separator);
    std::uint64_t characters = 0;
    for (TextList::const_iterator it = list.begin(); it != list.end(); ++it)
        characters += separatorLength + prefixLength + it->size();
    if (!ReserveText(result, characters)) {
        af_ = result.af_;
        return NoCrtString();
    }
    for (TextList::const_iterator it = list.begin(); it != list.end(); ++it) {
        if (!result.empty()) result.append(separator);
        if (!result.af_) result.append(prefix);
        if (!result.af_) result.append(*it);
        if (result.af_) {
            af_ = result.af_;
            return NoCrtString();
        }
    }
    return result;
}

NoCrtString ErrorInfo::Describe(const char* separator) {
    if (af_) return NoCrtString();
    const NoCrtString parts[] = {DescribeErrors(separator), DescribeWarnings(separator), DescribeInfos(separator)};
    if (af_) return NoCrtString();
    NoCrtString result;
    std::uint64_t characters = 0;
    for (const NoCrtString& part : parts) characters += SafeStrLen(separator) + part.size();
    if (!ReserveText(result, characters)) {
        af_ = result.af_;
        return NoCrtString();
    }
    for (const NoCrtString& part : parts) {
        if (part.empty()) continue;
        if (!result.empty()) result.append(separator);
        if (!result.af_) result.append(part);
        if (result.af_) {
            af_ = result.af_;
            return NoCrtString();
        }
    }
    return result;
}
