#include "settings/server/cfg_storage.h"

#include <vector>

#include <cryptopp/filters.h>

#include "settings/framework/cfg_enc_dec.h"
#include "settings/server/product_key.h"

namespace {

const char kSettingsValue[] = "Settings";
const char kKeypairValue[] = "Keypair";

} // namespace

CfgStorage::CfgStorage(bool throwOnError)
    : ServerCfg(throwOnError), m_hKey(nullptr), m_keyOpen(false), m_keypairUndefined(true)
{
}

CfgStorage::~CfgStorage()
{
    if (m_keyOpen)
        RegCloseKey(m_hKey);
}

bool CfgStorage::OpenKey()
{
    if (m_keyOpen)
        return true;
    std::wstring error;
    HKEY key = nullptr;
    if (!OpenOrCreateProductKey(key, error))
        return Fail(error);
    m_hKey = key;
    m_keyOpen = true;
    return true;
}

bool CfgStorage::QueryValue(const char* valueName, std::uint32_t limit, std::string& bytes,
                            const wchar_t* failurePrefix)
{
    std::vector<BYTE> buffer(limit);
    DWORD size = limit;
    const LONG result = RegQueryValueExA(m_hKey, valueName, nullptr, nullptr, buffer.data(), &size);
    if (result != ERROR_SUCCESS)
        return Fail(WithOsErrorText(failurePrefix, static_cast<DWORD>(result)));
    bytes.assign(reinterpret_cast<const char*>(buffer.data()), size);
    return true;
}

bool CfgStorage::SetBinaryValue(const char* valueName, const std::string& bytes, const wchar_t* failurePrefix)
{
    const LONG result = RegSetValueExA(m_hKey, valueName, 0, REG_BINARY,
                                       reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    if (result != ERROR_SUCCESS)
        return Fail(WithOsErrorText(failurePrefix, static_cast<DWORD>(result)));
    return true;
}

bool CfgStorage::SaveSettings()
{
    ClearWithPrefixes();
    if (!OpenKey())
        return false;
    std::string bytes;
    if (!EncodeToBytes(bytes, L"registry"))
        return false;
    return SetBinaryValue(kSettingsValue, bytes,
                          L"Error writing settings to registry. RegSetValueEx() failed with the following error: ");
}

bool CfgStorage::LoadSettings()
{
    ClearWithPrefixes();
    if (!OpenKey())
        return false;
    std::string bytes;
    if (!QueryValue(kSettingsValue, kMaxSettingsSize, bytes,
                    L"Error retrieving settings from registry. RegQueryValueEx() failed with the following error: "))
        return false;
    return DecodeBytes(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()));
}

bool CfgStorage::EncodeKeypair(CryptoPP::BufferedTransformation& out)
{
    if (m_keypairUndefined)
        return Fail(L"cannot encode undefined keypair data");
    return Reporting([&] {
        WriteKeypairData(out, m_keypair);
        return true;
    }, L"error occured while encoding keypair");
}

bool CfgStorage::DecodeKeypair(CryptoPP::BufferedTransformation& in)
{
    return Reporting([&] {
        ReadKeypairData(in, m_keypair);
        m_keypairUndefined = false;
        return true;
    }, L"error occured while decoding keypair");
}

bool CfgStorage::SaveKeypair()
{
    if (!OpenKey())
        return false;
    std::string bytes;
    CryptoPP::StringSink sink(bytes);
    if (!EncodeKeypair(sink))
        return false;
    if (bytes.size() > kMaxKeypairSize)
        return Fail(L"Encoded keypair length exceeds buffer size");
    return SetBinaryValue(kKeypairValue, bytes,
                          L"Error writing keypair to registry. RegSetValueEx() failed with the following error: ");
}

bool CfgStorage::LoadKeypair()
{
    if (!OpenKey())
        return false;
    std::string bytes;
    if (!QueryValue(kKeypairValue, kMaxKeypairSize, bytes,
                    L"Error retrieving keypair from registry. RegQueryValueEx() failed with the following error: "))
        return false;
    CryptoPP::StringStore store(bytes);
    return DecodeKeypair(store);
}
