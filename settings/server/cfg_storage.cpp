#include "settings/server/cfg_storage.h"

#include <cryptopp/filters.h>
#include <cryptopp/queue.h>

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
    if (m_keyOpen && m_keyWritable)
        return true;
    if (m_keyOpen) {
        RegCloseKey(m_hKey);
        m_keyOpen = false;
    }
    std::wstring error;
    HKEY key = nullptr;
    if (!OpenOrCreateProductKey(key, error))
        return Fail(error);
    m_hKey = key;
    m_keyOpen = true;
    m_keyWritable = true;
    return true;
}

bool CfgStorage::OpenKeyForReading()
{
    if (m_keyOpen)
        return true;
    std::wstring error;
    HKEY key = nullptr;
    if (OpenOrCreateProductKey(key, error)) {
        m_keyWritable = true;
    } else if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductKeyPath, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        m_keyWritable = false;
    } else {
        return Fail(error);
    }
    m_hKey = key;
    m_keyOpen = true;
    return true;
}

bool CfgStorage::QueryValue(const char* valueName, std::uint32_t limit, CryptoPP::SecByteBlock& bytes,
                            const wchar_t* failurePrefix)
{
    bytes.CleanNew(limit);
    DWORD size = limit;
    const LONG result = RegQueryValueExA(m_hKey, valueName, nullptr, nullptr, bytes.data(), &size);
    if (result != ERROR_SUCCESS) {
        bytes.CleanNew(0);
        return Fail(WithOsErrorText(failurePrefix, static_cast<DWORD>(result)));
    }
    bytes.resize(size);  // the block it leaves is wiped
    return true;
}

bool CfgStorage::SetBinaryValue(const char* valueName, const CryptoPP::byte* bytes, std::size_t length,
                                const wchar_t* failurePrefix)
{
    const LONG result = RegSetValueExA(m_hKey, valueName, 0, REG_BINARY, bytes, static_cast<DWORD>(length));
    if (result != ERROR_SUCCESS)
        return Fail(WithOsErrorText(failurePrefix, static_cast<DWORD>(result)));
    return true;
}

bool CfgStorage::SaveSettings()
{
    ClearWithPrefixes();
    // The tree is checked before the key is opened, so a refused tree creates nothing.
    std::string bytes;
    if (!EncodeToBytes(bytes, L"registry"))
        return false;
    if (!OpenKey())
        return false;
    return SetBinaryValue(kSettingsValue, reinterpret_cast<const CryptoPP::byte*>(bytes.data()), bytes.size(),
                          L"Error writing settings to registry. RegSetValueEx() failed with the following error: ");
}

bool CfgStorage::LoadSettings()
{
    ClearWithPrefixes();
    if (!OpenKeyForReading())
        return false;
    CryptoPP::SecByteBlock bytes;
    if (!QueryValue(kSettingsValue, kMaxSettingsSize, bytes,
                    L"Error retrieving settings from registry. RegQueryValueEx() failed with the following error: "))
        return false;
    return DecodeBytes(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
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

bool CfgStorage::EncodeKeypairRecord(CryptoPP::SecByteBlock& record)
{
    CryptoPP::ByteQueue encoded;  // its blocks are wiped when released
    if (!EncodeKeypair(encoded))
        return false;
    if (encoded.MaxRetrievable() > kMaxKeypairSize)
        return Fail(L"Encoded keypair length exceeds buffer size");
    record.CleanNew(static_cast<std::size_t>(encoded.MaxRetrievable()));
    encoded.Get(record.data(), record.size());
    return true;
}

bool CfgStorage::SaveKeypair()
{
    if (!OpenKey())
        return false;
    CryptoPP::SecByteBlock record;
    if (!EncodeKeypairRecord(record))
        return false;
    return SetBinaryValue(kKeypairValue, record.data(), record.size(),
                          L"Error writing keypair to registry. RegSetValueEx() failed with the following error: ");
}

bool CfgStorage::LoadKeypair()
{
    if (!OpenKeyForReading())
        return false;
    CryptoPP::SecByteBlock bytes;
    if (!QueryValue(kKeypairValue, kMaxKeypairSize, bytes,
                    L"Error retrieving keypair from registry. RegQueryValueEx() failed with the following error: "))
        return false;
    CryptoPP::StringStore store(bytes.data(), bytes.size());
    return DecodeKeypair(store);
}
