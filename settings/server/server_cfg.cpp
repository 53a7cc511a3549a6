#include "settings/server/server_cfg.h"

#include <vector>

#include <cryptopp/filters.h>

#include "foundation/encoding_conversion.h"
#include "settings/server/product_key.h"

namespace {

// Closes a file handle on every path out.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle()
    {
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

std::string AnsiFileName(const CodePageString& fileName)
{
    const unsigned ansi = GetACP();
    if (fileName.CodePage() == ansi)
        return fileName.text;
    return ToCodePage(fileName, ansi).text;
}

} // namespace

ServerCfg::ServerCfg(bool throwOnError)
    : RootEvaluator(&m_root), m_throwOnError(throwOnError), m_lastError(L"The operation completed successfully")
{
}

ServerCfg::~ServerCfg() {}

bool ServerCfg::Fail(const std::wstring& text)
{
    m_lastError = text;
    if (m_throwOnError)
        throw OrvidexCfgException(m_lastError);
    return false;
}

bool ServerCfg::EncodeToBytes(std::string& bytes, const wchar_t* what)
{
    bytes.clear();
    // Encode takes any tree; a stored one must be a tree that loads again.
    if (!Reporting([&] { return Validate(m_root, true); }, L"error while encoding settings"))
        return false;
    CryptoPP::StringSink sink(bytes);
    if (!Encode(sink))
        return false;
    if (bytes.size() > kMaxSettingsSize) {
        bytes.clear();
        return Fail(std::wstring(L"Error saving settings to ") + what +
                    L": the encoded settings exceed the limit of 512000 bytes");
    }
    return true;
}

bool ServerCfg::DecodeBytes(const unsigned char* bytes, std::uint32_t length)
{
    CryptoPP::StringStore store(bytes, length);
    return Decode(store);
}

bool ServerCfg::SaveToFile(const CodePageString& fileName)
{
    std::string bytes;
    if (!EncodeToBytes(bytes, L"file"))
        return false;
    FileHandle file(CreateFileA(AnsiFileName(fileName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_ARCHIVE, nullptr));
    if (!file.valid())
        return Fail(WithOsErrorText(
            L"Error saving settings to file. CreateFile() failed with the following error: ", GetLastError()));
    DWORD written = 0;
    if (!WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        return Fail(WithOsErrorText(
            L"Error saving settings to file. WriteFile() failed with the following error: ", GetLastError()));
    // A short write leaves a cut message that no later load could read: report it.
    if (written != bytes.size())
        return Fail(WithOsErrorText(
            L"Error saving settings to file. WriteFile() failed with the following error: ", ERROR_WRITE_FAULT));
    return true;
}

bool ServerCfg::LoadFromFile(const CodePageString& fileName)
{
    ClearWithPrefixes();
    std::vector<unsigned char> buffer;
    DWORD read = 0;
    {
        FileHandle file(CreateFileA(AnsiFileName(fileName).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid())
            return Fail(WithOsErrorText(
                L"Error loading settings from file. CreateFile() failed with the following error: ", GetLastError()));
        buffer.resize(kMaxSettingsSize);
        if (!ReadFile(file.get(), buffer.data(), kMaxSettingsSize, &read, nullptr))
            return Fail(WithOsErrorText(
                L"Error loading settings from file. ReadFile() failed with the following error: ", GetLastError()));
    }
    return DecodeBytes(buffer.data(), read);
}
