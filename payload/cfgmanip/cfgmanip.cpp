// Stand-in of the in-process COM server: DllRegisterServer writes the class's registration
// under HKEY_CLASSES_ROOT\CLSID, DllUnregisterServer deletes it.
#include "payload/standin.h"

#include <windows.h>
#include <olectl.h>

#include <string>

namespace {

HMODULE self = nullptr;
const char ClassKey[] = "CLSID\\{6F1B2C4E-3D5A-4E8B-9C71-2A0D5E8F4B13}";
const char ServerKey[] = "CLSID\\{6F1B2C4E-3D5A-4E8B-9C71-2A0D5E8F4B13}\\InprocServer32";

bool WriteValue(const char* keyPath, const char* name, const std::string& value)
{
    HKEY key;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    const bool written = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                        static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

// The chosen result, when a test set one.
bool ForcedResult(const char* variable, HRESULT& result)
{
    unsigned long code = 0;
    if (!standin::GetNumber(variable, code))
        return false;
    result = static_cast<HRESULT>(code);
    return true;
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
        std::string ignored;
        if (standin::GetVariable("ORVIDEX_SERVER_LOAD_FAILS", ignored))
            return FALSE;
    }
    return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllRegisterServer()
{
    standin::Record(self, "DllRegisterServer");
    std::string fault;
    const bool faults = standin::GetVariable("ORVIDEX_SERVER_REGISTER_FAULT", fault);
    if (faults && fault != "after")
        *static_cast<volatile int*>(nullptr) = 0;  // a fault inside the entry point
    HRESULT result;
    if (ForcedResult("ORVIDEX_SERVER_REGISTER_RESULT", result))
        return result;
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(self, path, MAX_PATH);
    const bool written = WriteValue(ClassKey, nullptr, "Orvidex configuration manipulator") &&
                         WriteValue(ServerKey, nullptr, std::string(path, length)) &&
                         WriteValue(ServerKey, "ThreadingModel", "Apartment");
    if (faults)
        *static_cast<volatile int*>(nullptr) = 0;  // the same, once the class is registered
    return written ? S_OK : SELFREG_E_CLASS;
}

extern "C" __declspec(dllexport) HRESULT WINAPI DllUnregisterServer()
{
    standin::Record(self, "DllUnregisterServer");
    HRESULT result;
    if (ForcedResult("ORVIDEX_SERVER_UNREGISTER_RESULT", result))
        return result;
    RegDeleteKeyA(HKEY_CLASSES_ROOT, ServerKey);
    const LONG deleted = RegDeleteKeyA(HKEY_CLASSES_ROOT, ClassKey);
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
