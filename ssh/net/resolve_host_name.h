// Host name lookups as work objects: the lookup is the object's run, which takes place
// inside StartThread on the calling thread and blocks it for as long as the system's
// resolver takes; the completion event is then already set, so that a caller can treat a
// lookup like any other wait object. Results are read afterwards through the accessors.
#pragma once

#include <winsock2.h>  // before windows.h, which thread_object.h brings

#include "foundation/thread_object.h"

#include <cstdint>
#include <string>
#include <vector>

// Holds one reference to a work object or nothing.
template <class T>
class RefPtr {
public:
    RefPtr() : m_object(nullptr) {}
    RefPtr(const RefPtr& other) : m_object(nullptr) { *this = other.m_object; }
    ~RefPtr() { Reset(); }
    // Takes a reference to the new object before giving up the old one.
    RefPtr& operator=(T* object) {
        if (object) object->AddRef();
        T* old = m_object;
        m_object = object;
        if (old) old->Release();
        return *this;
    }
    RefPtr& operator=(const RefPtr& other) { return *this = other.m_object; }
    void Reset() { *this = nullptr; }

    T* get() const { return m_object; }
    T* operator->() const { return m_object; }
    T& operator*() const { return *m_object; }
    explicit operator bool() const { return m_object != nullptr; }

private:
    T* m_object;
};

class ResolveHostName;
typedef RefPtr<ResolveHostName> ResolveHostNamePtr;

// gethostbyname: a name to its IPv4 addresses.
class ResolveHostName : public ThreadObject {
public:
    ResolveHostName();

    // A new lookup into the holder, in place of the one it held.
    static void Create(ResolveHostNamePtr& holder);

    void SetHost(const std::string& host);
    void StartThread() override;

    // The accessors throw ThreadErr while the lookup runs.
    bool Succeeded() const;
    // In network byte order, in the system's order; a second run appends to the first.
    const std::vector<std::uint32_t>& GetAddresses() const;
    // A Windows Sockets error, or E_FAIL.
    std::uint32_t GetErrorCode() const;
    std::string GetErrorDesc() const;

    void Run() override;

private:
    std::string m_host;
    bool m_succeeded;
    std::uint32_t m_errorCode;
    std::string m_errorDesc;
    std::vector<std::uint32_t> m_addresses;
};

// gethostbyaddr: an IPv4 address to its official name and aliases.
class ResolveHostAddress : public ThreadObject {
public:
    ResolveHostAddress();

    // In network byte order.
    void SetAddress(std::uint32_t address);
    void StartThread() override;

    bool Succeeded() const;
    // The official name, then the aliases in order.
    const std::vector<std::string>& GetNames() const;
    std::uint32_t GetErrorCode() const;
    std::string GetErrorDesc() const;

    void Run() override;

private:
    std::uint32_t m_address;
    bool m_succeeded;
    std::uint32_t m_errorCode;
    std::string m_errorDesc;
    std::vector<std::string> m_names;
};
