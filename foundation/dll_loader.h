// A dynamic-link library held for the lifetime of an object, with entry points looked up by
// name: for functions older Windows versions lack, or that we prefer to bind late.
#pragma once

#include "RoVodEre/NoCrtCore.h"
#include "foundation/encoded_string.h"
#include "foundation/exceptions.h"

#include <windows.h>

#include <string>

class DllLoader : public ObjectBase {
public:
    // The failure to load a library or find an entry point: "<context> failed. <cause>".
    class Err : public AException {
    public:
        Err(const std::string& context, const TException& cause);
    };

    // noThrow: a failed load leaves module null instead of throwing Err.
    DllLoader(const CodePageString& name, bool noThrow);
    // fromSystemDirectory: only the copy in the system directory is loaded.
    DllLoader(bool fromSystemDirectory, const CodePageString& name, bool noThrow);
    DllLoader(const DllLoader&) = delete;
    DllLoader& operator=(const DllLoader&) = delete;
    ~DllLoader() override;

    static HMODULE LoadByName(const CodePageString& name, bool noThrow);
    static HMODULE LoadFromSystemDirectory(const CodePageString& name, bool noThrow);
    // Throws Err when the library does not export the name.
    static FARPROC GetProcAddress(HMODULE module, const char* name);

    HMODULE module;
};
