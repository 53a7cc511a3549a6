#include "tools/settings-probe/probe_tree.h"

#include "settings/framework/enum_info.h"

void ProbeBinding::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"interface", &interfaceAddress, 0u));
    map.Add(MemberInfo(L"port", &port, 22u, 1u, 65535u));
}

void ProbeItem::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"name", &name, L""));
    map.Add(MemberInfo(L"port", &port, 0u, 0u, 65535u));
}

void ProbeTree::BuildMemberMap(MemberMap& map)
{
    map.Add(MemberInfo(L"binding", &binding));
    map.Add(MemberInfo(L"omitVersion", &omitVersion, false));
    map.Add(MemberInfo(L"logFileWrapColumn", &logFileWrapColumn, 79u, 0u, 0xFFFFFFFFu));
    map.Add(MemberInfo(L"authType", &authType, 0, &AuthTypeEnumInfo::Instance()));
    map.Add(MemberInfo(L"name", &name, L"Default"));
    map.Add(MemberInfo(L"items", &items));
    map.Add(MemberInfo(L"pick", &pick, L"").SetValuesQuery(L"$items.All.name"));
}
