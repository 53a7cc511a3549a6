// The whole-settings message: the tree as one binary message of fixed field order, written
// at version 3.31 and read from any version between 3.07 and 3.31. A field carries the
// first version whose messages hold it; the reader skips it for older messages (the fresh
// tree keeps its default, or the older form is converted).
#include "settings/server/server_cfg.h"

#include <exception>
#include <memory>

#include <cryptopp/filters.h>

#include "foundation/encoding_conversion.h"
#include "foundation/exceptions.h"
#include "settings/framework/record_codec.h"
#include "settings/server/settings_message.h"

using namespace CfgEncDec;

namespace {

const char kHeaderPrefix[] = "Orvidex ";
const std::size_t kHeaderPrefixLength = 8;
const char kCurrentVersion[] = "3.31";

void WriteAlgList(CryptoPP::BufferedTransformation& out, const AlgList& list)
{
    for (std::size_t i = 0; i < list.Count(); ++i)
        WriteBoolean(out, list.m_enabled[i]);
}

void WriteEventBlock(CryptoPP::BufferedTransformation& out, const EventList& list)
{
    WriteWord32(out, list.Count());
    WriteBytes(out, list.Flags(), list.Count());
}

// The list first follows the level read with it (custom reads as information level, the
// levels above 3 leave the flags as they are); then the stored flags replace the first
// ones, and flags beyond a shorter block keep the level's values.
void ReadEventBlock(CryptoPP::BufferedTransformation& in, EventList& list, unsigned char level)
{
    list.SetToLogLevel(level == logLevelCustom ? static_cast<unsigned char>(logLevelEWI) : level);
    CryptoPP::word32 count = 0;
    ReadWord32(in, count);
    const CryptoPP::word32 taken = count < list.Count() ? count : list.Count();
    CryptoPP::SecByteBlock flags(taken);
    ReadBytes(in, flags.data(), taken);
    const CryptoPP::word32 skipped = count - taken;
    if (in.MaxRetrievable() < skipped)
        throw CEncodeDecodeException(L"unexpected end of packet");
    in.Skip(skipped);
    // A flag is on or off: any nonzero byte reads as on.
    for (CryptoPP::word32 i = 0; i < taken; ++i)
        list.Flags()[i] = flags[i] != 0 ? 1 : 0;
}

} // namespace

std::wstring DescribeCodecErrors(ErrorInfo& info, const char* separator)
{
    return Utf8TextToWide(info.Describe(separator).c_str());
}

void NameOlderProxyProfiles(const SettingsVersion& version, ProxyProfileList& profiles, MigrationNames& names)
{
    if (!version.AtLeast("3.28")) {
        // Older releases allowed one unnamed profile; it gets the first free default name.
        for (std::uint32_t i = 0; i < profiles.size(); ++i) {
            if (!profiles.at(i)->m_profileName.empty())
                continue;
            names.profileName = FirstFreeName(std::string(DefaultProxyProfileName()), [&profiles](const std::string& name) {
                return FindProxyProfileByName(profiles, NoCrtString(name.c_str())) != nullptr;
            });
            profiles.at(i)->m_profileName.assign(names.profileName.c_str());
            ResortRenamedEntry(profiles, i);
            break;
        }
    } else if (version.Is("3.28")) {
        if (FindProxyProfileByName(profiles, NoCrtString(DefaultProxyProfileName())))
            names.preferredProfile = DefaultProxyProfileName();
        else if (profiles.size() > 0)
            names.preferredProfile = profiles.at(0)->m_profileName.c_str();
    }
}

bool ServerCfg::Encode(CryptoPP::BufferedTransformation& out)
{
    ClearWithPrefixes();
    return Reporting([&] {
        CfgRoot& root = m_root;
        const std::string header = std::string(kHeaderPrefix) + kCurrentVersion;
        WriteString(out, header);

        ServerSettings& server = root.server;
        WriteWord32(out, server.binding.m_nInterface);
        WriteWord32(out, server.binding.m_nPort);
        WriteWord32(out, server.m_nAcceptDelayMs);
        WriteBoolean(out, server.m_bOmitVersion);
        LoggingSettings& logging = server.logging;
        WriteBoolean(out, logging.m_bLogToEventLog);
        WriteByte(out, logging.m_nEventLogLevel);
        WriteEventBlock(out, logging.eventLogEventList);
        WriteBoolean(out, logging.m_bLogToFile);
        WriteByte(out, logging.m_nLogFileLevel);
        WriteEventBlock(out, logging.logFileEventList);
        WriteWString(out, logging.m_sLogFile);
        WriteBoolean(out, logging.m_bLogFileUnicode);
        WriteWord32(out, logging.m_nLogFileCodePage);
        WriteWord32(out, logging.m_nLogFileWrapColumn);
        WriteWord32(out, server.mlterm.m_nMaxBufWidth);
        WriteWord32(out, server.mlterm.m_nMaxBufHeight);
        WriteWord32(out, server.mlterm.m_nRefreshDelay);
        WriteWString(out, server.ext.m_sSftpPlugins);

        WriteAlgList(out, root.algs.m_kex);
        WriteAlgList(out, root.algs.encr);
        WriteAlgList(out, root.algs.mac);
        WriteAlgList(out, root.algs.cmpr);

        SessionSettings& session = root.session;
        WriteWString(out, session.m_sBannerFile);
        WriteWord32(out, session.m_nLoginTimeout);
        WriteWord32(out, session.m_nMaxLoginAttempts);
        WriteWord32(out, session.m_nLoginAttemptDelay);
        WriteWord32(out, session.m_nIpBlockWindowSecs);
        WriteWord32(out, session.m_nIpBlockThreshold);
        WriteWord32(out, session.m_nIpBlockLockoutSecs);
        WriteBoolean(out, session.m_bClearPwdCacheOnPubKeyAuthFailure);
        WriteBoolean(out, session.m_bStartReexchange);
        WriteWord32(out, session.m_nKeepAliveTimeout);
        WriteWord32(out, session.m_nSessionTimeout);
        WriteBoolean(out, session.m_bTolerateFirstWindowFault);
        WriteWord32(out, session.m_nMaxSubsequentFaultBytes);

        WriteRecordBlob(out, root.proxyProfiles, "Error encoding proxy profiles: ", "\n");
        WriteAccess(out, root.access);
        WriteEnd(out);
        return true;
    }, L"error while encoding settings");
}

bool ServerCfg::Decode(CryptoPP::BufferedTransformation& in)
{
    ClearWithPrefixes();
    return Reporting([&] {
        std::string header;
        ReadString(in, header);
        if (header.size() < kHeaderPrefixLength || header.compare(0, kHeaderPrefixLength, kHeaderPrefix) != 0)
            throw CEncodeDecodeException(L"invalid configuration version data detected");
        const std::string version = header.substr(kHeaderPrefixLength);
        if (version.compare(kCurrentVersion) > 0)
            throw CEncodeDecodeException(L"unsupported configuration version");
        const SettingsVersion v(version);

        std::unique_ptr<CfgRoot> fresh(new CfgRoot);
        CfgRoot& root = *fresh;

        ServerSettings& server = root.server;
        ReadWord32(in, server.binding.m_nInterface);
        server.binding.OnMembersChanged();
        ReadWord32(in, server.binding.m_nPort);
        if (v.AtLeast("3.30")) {
            ReadWord32(in, server.m_nAcceptDelayMs);
            ReadBoolean(in, server.m_bOmitVersion);
        }

        LoggingSettings& logging = server.logging;
        if (v.AtLeast("3.12")) {
            ReadBoolean(in, logging.m_bLogToEventLog);
            ReadByte(in, logging.m_nEventLogLevel);
            ReadEventBlock(in, logging.eventLogEventList, logging.m_nEventLogLevel);
            ReadBoolean(in, logging.m_bLogToFile);
            ReadByte(in, logging.m_nLogFileLevel);
            ReadEventBlock(in, logging.logFileEventList, logging.m_nLogFileLevel);
            ReadWString(in, logging.m_sLogFile);
            ReadBoolean(in, logging.m_bLogFileUnicode);
            ReadWord32(in, logging.m_nLogFileCodePage);
            ReadWord32(in, logging.m_nLogFileWrapColumn);
        } else {
            // One level for both destinations.
            CryptoPP::byte level = 0;
            ReadByte(in, level);
            logging.m_nEventLogLevel = level;
            logging.m_nLogFileLevel = level;
            logging.eventLogEventList.SetToLogLevel(level);
            logging.logFileEventList = logging.eventLogEventList;
        }
        if (!v.AtLeast("3.09")) {
            ReadBoolean(in, root.session.m_bStartReexchange);
            CryptoPP::word32 dropped = 0;
            ReadWord32(in, dropped);
        }

        ReadWord32(in, server.mlterm.m_nMaxBufWidth);
        ReadWord32(in, server.mlterm.m_nMaxBufHeight);
        ReadWord32(in, server.mlterm.m_nRefreshDelay);
        if (v.AtLeast("3.25"))
            ReadWString(in, server.ext.m_sSftpPlugins);

        AlgSettings& algs = root.algs;
        if (v.AtLeast("3.30")) {
            ReadBoolean(in, algs.m_kex.m_enabled[0]);
            ReadBoolean(in, algs.m_kex.m_enabled[1]);
        }
        algs.m_kex.OnMembersChanged();
        ReadBoolean(in, algs.encr.m_enabled[0]);
        ReadBoolean(in, algs.encr.m_enabled[1]);
        if (v.AtLeast("3.07")) {
            ReadBoolean(in, algs.encr.m_enabled[2]);
            ReadBoolean(in, algs.encr.m_enabled[3]);
        } else {
            algs.encr.m_enabled[2] = false;
            algs.encr.m_enabled[3] = false;
        }
        for (std::size_t i = 4; i < algs.encr.Count(); ++i)
            ReadBoolean(in, algs.encr.m_enabled[i]);
        algs.encr.OnMembersChanged();
        for (std::size_t i = 0; i < algs.mac.Count(); ++i)
            ReadBoolean(in, algs.mac.m_enabled[i]);
        algs.mac.OnMembersChanged();
        for (std::size_t i = 0; i < algs.cmpr.Count(); ++i)
            ReadBoolean(in, algs.cmpr.m_enabled[i]);
        algs.cmpr.OnMembersChanged();

        SessionSettings& session = root.session;
        ReadWString(in, session.m_sBannerFile);
        ReadWord32(in, session.m_nLoginTimeout);
        ReadWord32(in, session.m_nMaxLoginAttempts);
        if (v.AtLeast("3.12"))
            ReadWord32(in, session.m_nLoginAttemptDelay);
        if (v.AtLeast("3.30")) {
            ReadWord32(in, session.m_nIpBlockWindowSecs);
            ReadWord32(in, session.m_nIpBlockThreshold);
            ReadWord32(in, session.m_nIpBlockLockoutSecs);
        }
        if (v.AtLeast("3.31"))
            ReadBoolean(in, session.m_bClearPwdCacheOnPubKeyAuthFailure);
        if (v.AtLeast("3.09")) {
            ReadBoolean(in, session.m_bStartReexchange);
            ReadWord32(in, session.m_nKeepAliveTimeout);
        }
        if (v.AtLeast("3.12"))
            ReadWord32(in, session.m_nSessionTimeout);
        if (v.AtLeast("3.26")) {
            ReadBoolean(in, session.m_bTolerateFirstWindowFault);
            ReadWord32(in, session.m_nMaxSubsequentFaultBytes);
        }

        MigrationNames names;
        if (v.AtLeast("3.26")) {
            ReadRecordBlob(in, root.proxyProfiles, "Error decoding proxy profiles: ", "\n");
            NameOlderProxyProfiles(v, root.proxyProfiles, names);
        }
        ReadAccess(in, v, root, names);
        CheckEnd(in);

        Validate(root, true);
        m_root.TakeFrom(root);
        return true;
    }, L"error occured while decoding settings");
}
