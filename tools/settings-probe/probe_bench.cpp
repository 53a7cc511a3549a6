#include "tools/settings-probe/probe_bench.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <cryptopp/filters.h>

#include "settings/framework/expression.h"
#include "settings/server/default_rules.h"
#include "settings/server/server_cfg.h"
#include "tools/settings-probe/probe_session.h"
#include "tools/settings-probe/probe_tree.h"

namespace {

double NowMs()
{
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::uint64_t PeakPrivateBytes()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return 0;
    return counters.PeakPagefileUsage;
}

std::string EncodeList(RuleList<IpAcceptRule>& list)
{
    std::string bytes;
    EncodeContext ctx(new CryptoPP::StringSink(bytes));
    if (!list.Encode(ctx))
        bytes.clear();
    return bytes;
}

// The whole message with count distinct host rules, and the rule list's own encoding as
// the message holds it; reversed, the list holds the same records in the opposite order.
bool BuildMessage(std::uint32_t count, bool reverse, std::string& message, std::string& list)
{
    ServerCfg cfg(true);
    RuleList<IpAcceptRule>& rules = cfg.m_root.access.hosts.ipRules;
    rules.Clear();
    for (std::uint32_t k = 0; k < count; ++k) {
        IpAcceptRule* rule = rules.New();
        rule->ipRule.m_ip = 0x0A000000u + k;
        rule->ipRule.m_sigBits = 32;
        rule->instr.m_allowConnect = (k % 2) != 0;
        if (rules.NewAppend() != 0)
            return false;
    }
    rules.SortAppended();
    CryptoPP::StringSink sink(message);
    if (!cfg.Encode(sink))
        return false;
    const std::string forward = EncodeList(rules);
    list = forward;
    if (!reverse)
        return !forward.empty();
    if (forward.size() < 4 || count == 0 || (forward.size() - 4) % count != 0)
        return false;
    const std::size_t at = message.find(forward);
    if (at == std::string::npos || message.find(forward, at + 1) != std::string::npos)
        return false;
    const std::size_t recordSize = (forward.size() - 4) / count;
    std::string backward = forward.substr(0, 4);
    for (std::uint32_t k = count; k-- > 0;)
        backward.append(forward, 4 + k * recordSize, recordSize);
    message.replace(at, forward.size(), backward);
    list = backward;
    return true;
}

}  // namespace

int BenchDecode(std::uint32_t count, bool reverse, int rounds)
{
    std::string message, list;
    if (!BuildMessage(count, reverse, message, list)) {
        std::fputs("could not build the message\n", stderr);
        return 1;
    }
    std::printf("message-bytes %u\n", static_cast<unsigned>(message.size()));
    for (int round = 0; round < rounds; ++round) {
        // The rule list alone, into the list that holds the host rules.
        DefaultAcceptRules hosts;
        DecodeContext in(reinterpret_cast<const unsigned char*>(list.data()),
                         static_cast<std::uint32_t>(list.size()), 0);
        const double start = NowMs();
        const int read = hosts.ipRules.Decode(in);
        const double elapsed = NowMs() - start;
        if (read != static_cast<int>(list.size()) || hosts.ipRules.size() != count) {
            std::fputs("decoding the rule list failed\n", stderr);
            return 1;
        }
        std::printf("list-decode-ms %.3f\n", elapsed);
    }
    for (int round = 0; round < rounds; ++round) {
        ServerCfg cfg(false);
        CryptoPP::StringSource source(message, true);
        const double start = NowMs();
        const bool decoded = cfg.Decode(source);
        const double elapsed = NowMs() - start;
        if (!decoded || cfg.m_root.access.hosts.ipRules.size() != count) {
            std::fprintf(stderr, "decoding failed: %s\n", EscapeProbeText(cfg.LastError()).c_str());
            return 1;
        }
        std::printf("decode-ms %.3f\n", elapsed);
    }
    return 0;
}

int BenchWith(std::uint32_t depth, int rounds)
{
    std::vector<std::wstring> script;
    script.reserve(2 * std::size_t(depth) + 1);
    for (std::uint32_t k = 0; k < depth; ++k)
        script.push_back(L"With binding {");
    script.push_back(L"port 2022");
    for (std::uint32_t k = 0; k < depth; ++k)
        script.push_back(L"}");
    std::printf("peak-before-bytes %s\n", std::to_string(PeakPrivateBytes()).c_str());
    for (int round = 0; round < rounds; ++round) {
        ProbeTree tree;
        RootEvaluator root(&tree);
        unsigned refused = 0;
        const double start = NowMs();
        for (const std::wstring& line : script) {
            try {
                root.ScriptInstruction(line);
            } catch (const EvaluationErr&) {
                ++refused;
            }
        }
        const double elapsed = NowMs() - start;
        std::printf("script-ms %.3f\n", elapsed);
        std::printf("refused-lines %u\n", refused);
    }
    std::printf("peak-after-bytes %s\n", std::to_string(PeakPrivateBytes()).c_str());
    return 0;
}
