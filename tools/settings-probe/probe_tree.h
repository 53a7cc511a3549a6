// The fixed settings tree that settings-probe drives: one record of every common member
// kind, a nested record and a sorted list whose names restrict another member.
#pragma once

#include <cstdint>
#include <string>

#include "settings/framework/evaluator.h"
#include "settings/framework/sorted_list_evaluator.h"

struct ProbeBinding : MemberMapEvaluator {
    std::uint32_t interfaceAddress;
    std::uint32_t port;

    ProbeBinding() { SetDefaults(0); }
    void BuildMemberMap(MemberMap& map) override;
};

// A list entry, ordered by port.
struct ProbeItem : MemberMapEvaluator {
    std::wstring name;
    std::uint32_t port;

    ProbeItem() { SetDefaults(0); }
    ProbeItem(const ProbeItem& other) : MemberMapEvaluator(other), name(other.name), port(other.port) {}
    ProbeItem& operator=(const ProbeItem&) = delete;
    void BuildMemberMap(MemberMap& map) override;
    bool operator<(const ProbeItem& other) const { return port < other.port; }
};

struct ProbeTree : MemberMapEvaluator {
    ProbeBinding binding;
    bool omitVersion;
    std::uint32_t logFileWrapColumn;
    unsigned char authType;
    std::wstring name;
    SortedListEvaluator<ProbeItem> items;
    std::wstring pick;

    ProbeTree() { SetDefaults(0); }
    void BuildMemberMap(MemberMap& map) override;
};
