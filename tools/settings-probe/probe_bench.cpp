#include "tools/settings-probe/probe_bench.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
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

// Private bytes in use, and the resident set with its high-water mark: Wine gives the
// private bytes no peak of their own (it reports the current figure as the peak), while
// the resident high-water mark is kept by the system.
struct MemoryUse {
    std::uint64_t privateBytes;
    std::uint64_t resident;
    std::uint64_t peakResident;
};

MemoryUse ProcessMemory()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        return MemoryUse{0, 0, 0};
    return MemoryUse{counters.PagefileUsage, counters.WorkingSetSize, counters.PeakWorkingSetSize};
}

std::uint64_t PeakResidentBytes() { return ProcessMemory().peakResident; }

bool ReadWholeFile(const std::string& name, std::string& bytes)
{
    HANDLE file = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < 0x40000000;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        ok = bytes.empty() ||
             (ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size());
    }
    CloseHandle(file);
    return ok;
}

bool WriteWholeFile(const std::string& name, const std::string& bytes)
{
    std::FILE* file = std::fopen(name.c_str(), "wb");
    if (!file)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

std::string BigEndian32(std::uint32_t n)
{
    const char bytes[4] = {char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    return std::string(bytes, 4);
}

std::uint32_t ReadBigEndian32(const unsigned char* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// A message and where its entries' records lie in it.
struct Message {
    std::string bytes;
    std::size_t recordsAt = 0;
    std::size_t recordBytes = 0;
};

// count distinct host rules, built through the list as a decoder fills it.
bool MakeHostsMessage(std::uint32_t count, Message& message)
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
    std::string list;
    {
        EncodeContext ctx(new CryptoPP::StringSink(list));
        if (!rules.Encode(ctx) || count == 0)
            return false;
    }
    CryptoPP::StringSink sink(message.bytes);
    if (!cfg.Encode(sink))
        return false;
    const std::size_t at = message.bytes.find(list);
    if (at == std::string::npos)
        return false;
    message.recordsAt = at + 4;
    message.recordBytes = (list.size() - 4) / count;
    return true;
}

// Account k's name; all names have the same length, so all records do.
std::wstring AccountName(std::uint32_t k)
{
    wchar_t name[16];
    swprintf(name, 16, L"user%07u", static_cast<unsigned>(k));
    return name;
}

std::string Utf16LittleEndian(const std::wstring& text)
{
    std::string bytes;
    for (wchar_t c : text) {
        bytes += char(c & 0xFF);
        bytes += char((c >> 8) & 0xFF);
    }
    return bytes;
}

bool EncodeWithAccounts(std::uint32_t count, std::string& bytes)
{
    ServerCfg cfg(true);
    SortedListEvaluator<AccountEntry>& accounts = cfg.m_root.access.accounts;
    accounts.Clear();
    for (std::uint32_t k = 0; k < count; ++k) {
        accounts.New()->account = AccountName(k);
        if (accounts.NewCommit() != 0)
            return false;
    }
    CryptoPP::StringSink sink(bytes);
    return cfg.Encode(sink);
}

// count default accounts named user0000000, user0000001...: the message of one account
// with its record repeated under the other names, so that a long list costs no tree to
// build here.
bool MakeAccountsMessage(std::uint32_t count, Message& message)
{
    std::string none, one;
    if (count == 0 || count > 10000000 || !EncodeWithAccounts(0, none) || !EncodeWithAccounts(1, one))
        return false;
    const std::string name = Utf16LittleEndian(AccountName(0));
    const std::string head = BigEndian32(1) + BigEndian32(static_cast<std::uint32_t>(name.size())) + name;
    const std::size_t at = one.find(head);
    if (at == std::string::npos || one.find(head, at + 1) != std::string::npos || one.size() <= none.size())
        return false;
    const std::size_t recordBytes = one.size() - none.size();
    const std::string record = one.substr(at + 4, recordBytes);
    message.bytes = one.substr(0, at) + BigEndian32(count);
    message.recordsAt = message.bytes.size();
    message.recordBytes = recordBytes;
    message.bytes.reserve(one.size() + std::size_t(count - 1) * recordBytes);
    for (std::uint32_t k = 0; k < count; ++k) {
        message.bytes += record;
        message.bytes.replace(message.bytes.size() - recordBytes + 4, name.size(), Utf16LittleEndian(AccountName(k)));
    }
    message.bytes += one.substr(at + 4 + recordBytes);
    return true;
}

bool MakeMessage(BenchEntries what, std::uint32_t count, Message& message)
{
    message = Message();
    return what == BenchEntries::kHosts ? MakeHostsMessage(count, message) : MakeAccountsMessage(count, message);
}

std::uint32_t EntryCount(BenchEntries what, ServerCfg& cfg)
{
    return what == BenchEntries::kHosts ? cfg.m_root.access.hosts.ipRules.size() : cfg.m_root.access.accounts.size();
}

void PrintFigures(std::uint32_t entries, double decodeMs, const MemoryUse& before, const MemoryUse& after,
                  double destroyMs)
{
    std::printf("entries %u\n", static_cast<unsigned>(entries));
    std::printf("decode-ms %.3f\n", decodeMs);
    std::printf("peak-growth-bytes %s\n", std::to_string(after.peakResident - before.resident).c_str());
    std::printf("held-bytes %s\n", std::to_string(after.privateBytes - before.privateBytes).c_str());
    std::printf("destroy-ms %.3f\n", destroyMs);
}

struct PlainHostRule {
    std::uint32_t ip;
    unsigned char sigBits;
    bool allowConnect;
};

}  // namespace

int BenchMake(BenchEntries what, std::uint32_t count, const std::string& file)
{
    Message message;
    if (count == 0) {
        // The largest count whose message a stored settings value holds.
        if (!MakeMessage(what, 1, message)) {
            std::fputs("could not build the message\n", stderr);
            return 1;
        }
        const std::size_t rest = message.bytes.size() - message.recordBytes;
        count = static_cast<std::uint32_t>((ServerCfg::kMaxSettingsSize - rest) / message.recordBytes);
    }
    if (!MakeMessage(what, count, message) || !WriteWholeFile(file, message.bytes)) {
        std::fputs("could not build or write the message\n", stderr);
        return 1;
    }
    std::printf("entries %u\n", static_cast<unsigned>(count));
    std::printf("message-bytes %u\n", static_cast<unsigned>(message.bytes.size()));
    std::printf("records-at %u\n", static_cast<unsigned>(message.recordsAt));
    std::printf("record-bytes %u\n", static_cast<unsigned>(message.recordBytes));
    return 0;
}

int BenchLoad(BenchEntries what, std::uint32_t count, const std::string& file)
{
    std::string bytes;
    if (!ReadWholeFile(file, bytes)) {
        std::fputs("could not read the message\n", stderr);
        return 1;
    }
    std::unique_ptr<ServerCfg> cfg(new ServerCfg(false));
    CryptoPP::StringStore store(reinterpret_cast<const CryptoPP::byte*>(bytes.data()), bytes.size());
    const MemoryUse before = ProcessMemory();
    const double start = NowMs();
    const bool decoded = cfg->Decode(store);
    const double decodeMs = NowMs() - start;
    const MemoryUse after = ProcessMemory();
    const std::uint32_t entries = EntryCount(what, *cfg);
    if (!decoded || entries != count) {
        std::fprintf(stderr, "decoding failed (%u entries): %s\n", static_cast<unsigned>(entries),
                     EscapeProbeText(cfg->LastError()).c_str());
        return 1;
    }
    const double destroyStart = NowMs();
    cfg.reset();
    PrintFigures(entries, decodeMs, before, after, NowMs() - destroyStart);
    return 0;
}

int BenchPlain(BenchEntries what, std::uint32_t count, const std::string& file, std::uint32_t offset,
               std::uint32_t recordBytes)
{
    std::string bytes;
    if (!ReadWholeFile(file, bytes) || offset > bytes.size() || (bytes.size() - offset) / recordBytes < count ||
        (what == BenchEntries::kHosts && recordBytes < 6)) {
        std::fputs("could not read the records\n", stderr);
        return 1;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data()) + offset;
    std::vector<PlainHostRule> rules;
    std::vector<std::string> records;
    const MemoryUse before = ProcessMemory();
    const double start = NowMs();
    if (what == BenchEntries::kHosts) {
        rules.reserve(count);
        for (std::uint32_t k = 0; k < count; ++k, p += recordBytes)
            rules.push_back(PlainHostRule{ReadBigEndian32(p), p[4], p[5] != 0});
    } else {
        records.reserve(count);
        for (std::uint32_t k = 0; k < count; ++k, p += recordBytes)
            records.emplace_back(reinterpret_cast<const char*>(p), recordBytes);
    }
    const double decodeMs = NowMs() - start;
    const MemoryUse after = ProcessMemory();
    const std::uint32_t entries = static_cast<std::uint32_t>(rules.size() + records.size());
    const double destroyStart = NowMs();
    std::vector<PlainHostRule>().swap(rules);
    std::vector<std::string>().swap(records);
    PrintFigures(entries, decodeMs, before, after, NowMs() - destroyStart);
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
    std::printf("peak-before-bytes %s\n", std::to_string(PeakResidentBytes()).c_str());
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
    std::printf("peak-after-bytes %s\n", std::to_string(PeakResidentBytes()).c_str());
    return 0;
}
