// The set of log events that one log destination takes at logLevelCustom: one on/off flag
// per event slot, addressed in the settings language by its own instructions and queries.
#pragma once

#include <cstdint>
#include <string>

#include "settings/framework/evaluator.h"
#include "settings/server/log_events.h"

class ExpressionResult;

class EventList : public Evaluator {
public:
    // Errors, warnings and information on; trace and dump off. These are also the defaults.
    EventList();
    EventList(const EventList& src) : Evaluator() { *this = src; }
    // Copies the flags and the defaults.
    EventList& operator=(const EventList& src);

    void TypeName(std::wstring& out) const override { out = L"event list"; }
    void SetDefaults(int recurse) override;
    bool IsDefault() override;
    void Instruction(const std::wstring& text, RootEvaluator& root) override;
    void Expression(const std::wstring& text, RootEvaluator& root, const std::wstring& path,
                    const std::wstring& indent, ExpressionResult& result) override;
    void Init(HINSTANCE) override {}

    std::uint32_t Count() const { return kEventSlotCount; }
    // The flag bytes (1 on, 0 off) by position, Count() of them; the whole-settings codec
    // reads and writes them directly.
    unsigned char* Flags() { return flags_; }
    const unsigned char* Flags() const { return flags_; }

    void SetAll(bool on);
    // Throws SE_AccessViolation for a number whose index is outside the table.
    bool IsOn(std::uint32_t number) const;
    // The position of the flag of an event number; SE_AccessViolation outside the table.
    static std::uint32_t IndexOf(std::uint32_t number);
    // The number that names position i in listings.
    static std::uint32_t NumberAt(std::uint32_t position) { return position + 1; }
    // group is one of the 0-ended event groups.
    void SetGroup(const std::uint32_t* group, bool on);
    // Turns on every flag that is on in other; turns nothing off.
    void Merge(const EventList& other);
    // The events of a level up to logLevelEWIT; higher levels leave the list as it is.
    void SetToLogLevel(unsigned char level);

private:
    unsigned char flags_[kEventSlotCount];
    unsigned char defaults_[kEventSlotCount];
};

// An event setting: the number 0 or 1, or the bare word off or on. Anything else throws
// EvaluationErr naming the instruction.
bool ParseEventSetting(const ExpressionResult& value, const std::wstring& instruction);
// One line "[iii] NAME" + CRLF per event of the group, in the group's order.
std::wstring DescribeEventGroup(const std::uint32_t* group);
