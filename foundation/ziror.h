// ZIRor: call results of Win32 and COM calls, the exceptions built from them, and the COM
// holders. A call result remembers the name of the last call made through it and the code
// that call returned, and describes itself in one fixed sentence.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <exception>
#include <string>

namespace ZIRor {

class CallResult {
public:
    virtual ~CallResult() = default;

    virtual bool Succeeded() const = 0;
    virtual bool Failed() const { return !Succeeded(); }
    virtual const std::string& CallName() const { return callName; }
    virtual long ErrorCode() const { return errorCode; }
    virtual std::string Description() const { return std::string(); }
    // SuccessText when the call succeeded, else FailureText.
    virtual std::string Message() const;
    virtual void Assign(const CallResult& other);
    // "<call> succeeded."
    virtual std::string SuccessText() const;
    // "<call> failed with error code: <n>." or "... <n>. Description: <text>"
    virtual std::string FailureText() const;

    // Records one call; later calls overwrite it.
    void Record(const char* name, long code)
    {
        callName = name;
        errorCode = code;
    }

protected:
    CallResult() = default;
    explicit CallResult(long code) : errorCode(code) {}
    CallResult(const CallResult&) = default;
    CallResult& operator=(const CallResult&) = default;

    std::string callName;
    long errorCode = 0;
};

// A Win32 error code: success is 0; described by the system's English text.
class Win32CallResult : public CallResult {
public:
    Win32CallResult() = default;
    explicit Win32CallResult(long code) : CallResult(code) {}

    bool Succeeded() const override { return errorCode == 0; }
    std::string Description() const override;
};

// An HRESULT: success is 0 or positive; described by our fixed table.
class ComCallResult : public CallResult {
public:
    ComCallResult() = default;
    explicit ComCallResult(long code) : CallResult(code) {}

    bool Succeeded() const override { return static_cast<HRESULT>(errorCode) >= 0; }
    std::string Description() const override;
};

// The system's English text of a Win32 code without trailing line breaks; empty when the
// system has none.
std::string Win32ErrorDescription(long code);
// Our text of an HRESULT; empty for a code the table does not hold.
std::string HresultDescription(long code);

class BaseException : public std::exception {
public:
    explicit BaseException(const CallResult& result);

    const char* what() const noexcept override { return messageCopy.c_str(); }
    virtual const std::string& Text() const { return message; }

private:
    std::string message;
    std::string messageCopy;
};

template <class Code>
class BaseExceptionEx : public BaseException {
public:
    explicit BaseExceptionEx(const CallResult& result)
        : BaseException(result),
          callName(result.CallName()),
          callNameCopy(result.CallName()),
          errorCode(static_cast<Code>(result.ErrorCode())),
          description(result.Description()),
          descriptionCopy(description)
    {
    }

    std::string callName;
    std::string callNameCopy;
    Code errorCode;
    std::string description;
    std::string descriptionCopy;
};

class ComException : public BaseExceptionEx<long> {
public:
    explicit ComException(const CallResult& result) : BaseExceptionEx<long>(result) {}
};

class RegException : public BaseExceptionEx<long> {
public:
    explicit RegException(const CallResult& result) : BaseExceptionEx<long>(result) {}
};

// COM for the lifetime of the object. Never throws; uninitialises only what its own
// CoInitialize set up (S_OK or S_FALSE), never COM that someone else initialised.
class ComInitialize : public ComCallResult {
public:
    ComInitialize();
    ~ComInitialize() override;
    ComInitialize(const ComInitialize&) = delete;
    ComInitialize& operator=(const ComInitialize&) = delete;

private:
    bool initialized = false;
};

// One reference to an interface, released with the holder.
template <class Interface>
class ComInterfaceHolder : public ComCallResult {
public:
    ~ComInterfaceHolder() override
    {
        if (interfacePointer)
            interfacePointer->Release();
    }
    ComInterfaceHolder(const ComInterfaceHolder&) = delete;
    ComInterfaceHolder& operator=(const ComInterfaceHolder&) = delete;

    Interface* interfacePointer = nullptr;

protected:
    ComInterfaceHolder() = default;
};

// CoCreateInstance; throws ComException when it fails.
template <class Interface = IUnknown>
class ComCreateInstance : public ComInterfaceHolder<Interface> {
public:
    ComCreateInstance(REFCLSID classId, IUnknown* outer, DWORD context, REFIID interfaceId)
    {
        void* obtained = nullptr;
        const HRESULT hr = CoCreateInstance(classId, outer, context, interfaceId, &obtained);
        this->Record("CoCreateInstance()", hr);
        this->interfacePointer = FAILED(hr) ? nullptr : static_cast<Interface*>(obtained);
        if (FAILED(hr))
            throw ComException(*this);
    }
};

// QueryInterface on another holder's interface; never throws: test Failed() or the pointer.
template <class Interface = IUnknown>
class ComQueryInterface : public ComInterfaceHolder<Interface> {
public:
    template <class Source>
    ComQueryInterface(const ComInterfaceHolder<Source>& source, REFIID interfaceId)
    {
        void* obtained = nullptr;
        const HRESULT hr = source.interfacePointer->QueryInterface(interfaceId, &obtained);
        this->Record("QueryInterface()", hr);
        this->interfacePointer = FAILED(hr) ? nullptr : static_cast<Interface*>(obtained);
    }
};

} // namespace ZIRor
