#include "installer/registry_values.h"

#include "foundation/ziror_registry.h"
#include "installer/installer_state.h"

std::string ReadRegString(HKEY root, const std::string& subkey, const std::string& valueName)
{
    try {
        std::string value;
        ZIRor::RegReadString(root, subkey, valueName, value, true);
        return value;
    } catch (const ZIRor::RegException& e) {
        throw InstallError(e.what());
    }
}

bool WriteRegString(HKEY root, const std::string& subkey, const std::string& valueName, const std::string& value,
                    bool expand)
{
    try {
        return ZIRor::RegWriteString(root, subkey, valueName, value, expand, nullptr).CreatedKey();
    } catch (const ZIRor::RegException& e) {
        throw InstallError(e.what());
    }
}

std::vector<std::string> ReadRegMultiString(HKEY root, const std::string& subkey, const std::string& valueName)
{
    try {
        std::vector<std::string> values;
        ZIRor::RegReadMultiString(root, subkey, valueName, values);
        return values;
    } catch (const ZIRor::RegException& e) {
        throw InstallError(e.what());
    }
}

bool WriteRegMultiString(HKEY root, const std::string& subkey, const std::string& valueName,
                         const std::vector<std::string>& values)
{
    try {
        return ZIRor::RegWriteMultiString(root, subkey, valueName, values, nullptr).CreatedKey();
    } catch (const ZIRor::RegException& e) {
        throw InstallError(e.what());
    }
}
