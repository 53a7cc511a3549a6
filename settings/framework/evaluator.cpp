#include "settings/framework/evaluator.h"

#include <cryptopp/cryptlib.h>

#include "RoVodEre/ErrorInfo.h"
#include "foundation/encoding_conversion.h"
#include "settings/framework/encrypted_member.h"
#include "settings/framework/expression.h"

namespace {

// The window class is registered once per process and never unregistered.
ATOM memberMapEvaluatorClass = 0;

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

MemberMapEvaluator::~MemberMapEvaluator() {}

MemberMap& MemberMapEvaluator::AccessMemberMap()
{
    if (!memberMap_) {
        // The pointer is stored first so that a builder that reaches back finds the map.
        memberMap_.reset(new MemberMap);
        BuildMemberMap(*memberMap_);
        if (memberMapEdit_)
            memberMapEdit_(*memberMap_);
    }
    return *memberMap_;
}

MemberInfo& MemberMapEvaluator::AccessMemberInfo(const std::wstring& name)
{
    return AccessMemberMap().At(name);
}

void MemberMapEvaluator::SetMemberMapEdit(MemberMapEdit edit)
{
    memberMapEdit_ = edit;
    if (memberMap_ && edit)
        edit(*memberMap_);
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
