#include "settings/framework/evaluator.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include <cryptopp/cryptlib.h>

#include "RoVodEre/ErrorInfo.h"
#include "foundation/encoding_conversion.h"
#include "settings/framework/encrypted_member.h"
#include "settings/framework/expression.h"

namespace {

// The window class is registered once per process and never unregistered.
ATOM memberMapEvaluatorClass = 0;

// The maps of the records that the language has reached, and the variants' edits by
// number. Records of different trees may live on different threads, so both take a lock.
struct MemberMapTable {
    std::mutex lock;
    std::unordered_map<const MemberMapEvaluator*, std::unique_ptr<MemberMap>> maps;
    std::vector<MemberMapEdit> edits{nullptr};  // number 0: no edit
};

// Never destroyed: records with static storage may outlive any static object here.
MemberMapTable& Table()
{
    static MemberMapTable* table = new MemberMapTable;
    return *table;
}

MemberMap* FindMap(const MemberMapEvaluator* record)
{
    MemberMapTable& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    auto it = table.maps.find(record);
    return it == table.maps.end() ? nullptr : it->second.get();
}

} // namespace

void MemberMap::Add(const MemberInfo& info)
{
    order.push_back(info.name);
    members.insert(std::make_pair(info.name, info));
}

MemberInfo& MemberMap::At(const std::wstring& name)
{
    std::map<std::wstring, MemberInfo>::iterator it = members.find(name);
    if (it == members.end())
        throw EvaluationErr(L"MemberMapEvaluator::AccessMemberInfo(): no member named '" + name +
                            L"' could be found");
    return it->second;
}

MemberMapEvaluator& NestedRecord(MemberMap& map, const std::wstring& name)
{
    MemberMapEvaluator* record = dynamic_cast<MemberMapEvaluator*>(map.At(name).nestedValue);
    if (!record)
        throw EvaluationErr(L"MemberMapEvaluator: member '" + name + L"' is not a nested record");
    return *record;
}

MemberMapEvaluator::~MemberMapEvaluator()
{
    if (!hasMemberMap_)
        return;
    std::unique_ptr<MemberMap> map;  // freed outside the lock
    MemberMapTable& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    auto it = table.maps.find(this);
    if (it != table.maps.end()) {
        map.swap(it->second);
        table.maps.erase(it);
    }
}

MemberMap& MemberMapEvaluator::AccessMemberMap()
{
    if (hasMemberMap_)
        return *FindMap(this);
    MemberMap* map = nullptr;
    {
        MemberMapTable& table = Table();
        std::lock_guard<std::mutex> hold(table.lock);
        std::unique_ptr<MemberMap>& slot = table.maps[this];
        slot.reset(new MemberMap);
        map = slot.get();
    }
    // The map is registered first so that a builder that reaches back finds it.
    hasMemberMap_ = true;
    BuildMemberMap(*map);
    if (memberMapEdit_) {
        MemberMapTable& table = Table();
        MemberMapEdit edit;
        {
            std::lock_guard<std::mutex> hold(table.lock);
            edit = table.edits[memberMapEdit_];
        }
        edit(*map);
    }
    return *map;
}

MemberInfo& MemberMapEvaluator::AccessMemberInfo(const std::wstring& name)
{
    return AccessMemberMap().At(name);
}

void MemberMapEvaluator::SetMemberMapEdit(MemberMapEdit edit)
{
    std::size_t number = 0;
    if (edit) {
        MemberMapTable& table = Table();
        std::lock_guard<std::mutex> hold(table.lock);
        std::vector<MemberMapEdit>& edits = table.edits;
        number = std::find(edits.begin(), edits.end(), edit) - edits.begin();
        if (number == edits.size()) {
            // The program has a handful of edits; a byte numbers them all.
            NOCRT_CHECK(number <= 0xFF, "number <= 0xFF", 0);
            edits.push_back(edit);
        }
    }
    memberMapEdit_ = static_cast<unsigned char>(number);
    if (hasMemberMap_ && edit)
        edit(*FindMap(this));
}

void MemberMapEvaluator::SetDefaults(int recurse)
{
    for (auto& entry : AccessMemberMap().members) {
        MemberInfo& info = entry.second;
        if (info.boolValue) {
            *info.boolValue = info.boolDefault != 0;
        } else if (info.word32Value) {
            *info.word32Value = info.word32Default;
        } else if (info.byteValue) {
            *info.byteValue = info.byteDefault;
        } else if (info.wstringValue) {
            *info.wstringValue = info.wstringDefault;
        } else if (info.stringValue) {
            *info.stringValue = info.stringDefault;
        } else if (info.ncStringValue) {
            *info.ncStringValue = info.ncStringDefault;
        } else if (info.cryptValue) {
            SetEncryptedDefault(*info.cryptValue);
        } else if (info.nestedValue) {
            if (recurse)
                info.nestedValue->SetDefaults(1);
        }
    }
}

bool MemberMapEvaluator::IsDefault()
{
    for (auto& entry : AccessMemberMap().members) {
        if (!entry.second.IsDefault())
            return false;
    }
    return true;
}

void MemberMapEvaluator::Init(HINSTANCE instance)
{
    if (memberMapEvaluatorClass == 0) {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.style = CS_GLOBALCLASS;
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = instance;
        wc.hbrBackground = CreateSolidBrush(GetSysColor(COLOR_WINDOW));
        wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
        wc.lpszClassName = L"MemberMapEvaluator";
        memberMapEvaluatorClass = RegisterClassExW(&wc);
        if (memberMapEvaluatorClass == 0) {
            DWORD code = GetLastError();
            if (wc.hbrBackground)
                DeleteObject(wc.hbrBackground);
            throw CryptoPP::OS_Error(CryptoPP::Exception::OTHER_ERROR,
                                     "Error registering MemberMapEvaluator window class", "RegisterClassEx",
                                     static_cast<int>(code));
        }
    }
    for (auto& entry : AccessMemberMap().members) {
        if (entry.second.kind == MemberInfo::kNested && entry.second.nestedValue)
            entry.second.nestedValue->Init(instance);
    }
}

void SetEncryptedDefault(CryptBlock& block)
{
    ErrorInfo errors;
    if (!EncryptEmptyText(block, errors)) {
        NoCrtString described = errors.Describe("\n");
        throw EvaluationErr(L"MemberMapEvaluator::SetDefaults(): encryption failed with the following error info: " +
                            ToUtf16(AnsiString(described.c_str())).text);
    }
}

std::wstring JoinMemberPath(const std::wstring& prefix, const std::wstring& name)
{
    return prefix.empty() ? name : prefix + L"." + name;
}
