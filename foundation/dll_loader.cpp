#include "foundation/dll_loader.h"

#include "foundation/paths.h"

DllLoader::Err::Err(const std::string& context, const TException& cause)
    : AException(AnsiString(context + " failed. " + NarrowErrorText(cause).text))
{
}

DllLoader::DllLoader(const CodePageString& name, bool noThrow) : module(LoadByName(name, noThrow))
{
}

DllLoader::DllLoader(bool fromSystemDirectory, const CodePageString& name, bool noThrow)
    : module(fromSystemDirectory ? LoadFromSystemDirectory(name, noThrow) : LoadByName(name, noThrow))
{
}

DllLoader::~DllLoader()
{
    if (module && FreeLibrary(module))
        module = nullptr;
}

HMODULE DllLoader::LoadByName(const CodePageString& name, bool noThrow)
{
    const HMODULE loaded = LoadLibraryA(name.c_str());
    if (loaded || noThrow)
        return loaded;
    const DWORD error = GetLastError();
    throw Err("LoadLibrary(" + name.text + ")", OsErrorException(error));
}

HMODULE DllLoader::LoadFromSystemDirectory(const CodePageString& name, bool noThrow)
{
    char directory[MAX_PATH + 1];
    const UINT length = GetSystemDirectoryA(directory, sizeof directory);
    // A length that does not fit the buffer is the size needed, not a path.
    if (length != 0 && length < sizeof directory) {
        const CodePageString systemDirectory(directory, static_cast<int>(length), GetACP());
        return LoadByName(PathJoin(systemDirectory, name, '\\'), noThrow);
    }
    const DWORD error = length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    if (noThrow)
        return nullptr;
    throw Err("GetSystemDirectory()", OsErrorException(error));
}

FARPROC DllLoader::GetProcAddress(HMODULE module, const char* name)
{
    const FARPROC entry = ::GetProcAddress(module, name);
    if (entry)
        return entry;
    const DWORD error = GetLastError();
    throw Err(std::string("GetProcAddress(") + (name ? name : "") + ")", OsErrorException(error));
}
