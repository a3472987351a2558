#pragma once
// The exception family of the library. Every failure travels up as a CExc (or a class derived
// from it); each layer that catches it puts one sentence in front with AddMessage and rethrows
// the same object with `throw;`. At a COM method util::ComBoundary (foundation/ComBoundary.h)
// turns it into COM error information and the exception's HRESULT.
//
//   catch (CExc& e) { e.AddMessage(122); throw; }
//   throw CWin32Exc(L"Cannot delete file [%1].", path, GetLastError());
//   throw CExc(MsgText(111, packagePath), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));

#include <windows.h>
#include <rpc.h>
#include <list>
#include <string>
#include "foundation/Messages.h"

// HRESULT of a Win32 error code or RPC status: positive codes become 0x8007xxxx from their low
// 16 bits; 0 and negative values (already HRESULT-shaped) are kept as they are.
HRESULT HResultFromSystemCode(long code) noexcept;

class CExc
{
public:
    // An empty message list and HRESULT 0.
    CExc() = default;
    CExc(const std::wstring& text, HRESULT hr);
    CExc(const std::wstring& pattern, const std::wstring& a1, HRESULT hr);
    CExc(const std::wstring& pattern, const std::wstring& a1, const std::wstring& a2, HRESULT hr);

    // Puts one sentence in front of the gathered ones: a plain text, a message-table id with
    // up to five arguments, or a literal pattern with up to five arguments.
    void AddMessage(const std::wstring& text);
    template <class... Args>
    void AddMessage(UINT messageId, const Args&... args)
    {
        AddFront(MsgText(messageId, args...));
    }
    template <class Arg1, class... Args>
    void AddMessage(const std::wstring& pattern, const Arg1& a1, const Args&... args)
    {
        AddFront(FormatText(pattern, a1, args...));
    }

    HRESULT GetHResult() const noexcept { return m_hr; }
    void SetHResult(HRESULT hr) noexcept { m_hr = hr; }

    // All sentences, outermost first, one per line (CR LF between them).
    std::wstring GetFullText() const;

    // The sentences themselves, outermost first.
    const std::list<std::wstring>& GetMessages() const noexcept { return m_messages; }

protected:
    void AddFront(std::wstring sentence);

private:
    std::list<std::wstring> m_messages;
    HRESULT m_hr = 0;
};

// A failed Win32 call. The last element of the message list is the system's own text for the
// code: "Win32 error:<system text> Code: <code>".
class CWin32Exc : public CExc
{
public:
    // Passed as the code: read GetLastError when the exception is built.
    static constexpr DWORD kLastError = 0xFFFFFFFF;

    CWin32Exc();  // code from GetLastError
    explicit CWin32Exc(DWORD code);
    CWin32Exc(const std::wstring& text, DWORD code);
    CWin32Exc(const std::wstring& pattern, const std::wstring& a1, DWORD code);
    CWin32Exc(const std::wstring& pattern, const std::wstring& a1, const std::wstring& a2, DWORD code);
    CWin32Exc(UINT messageId, DWORD code);
    CWin32Exc(UINT messageId, const std::wstring& a1, DWORD code);

    DWORD GetCode() const noexcept { return m_code; }

private:
    void Init(DWORD code);
    DWORD m_code = 0;
};

// A failed COM call; the HRESULT is the failing call's result and the last element of the
// message list is "COM error: <description of the thread's error object> Code: 0x<hr>".
class CComExc : public CExc
{
public:
    explicit CComExc(HRESULT hr);
    CComExc(const std::wstring& text, HRESULT hr);
    CComExc(const std::wstring& pattern, const std::wstring& a1, HRESULT hr);

private:
    void Init(HRESULT hr);
};

// A failed RPC runtime call or remote procedure: "RPC error:<system text> Code: <status>".
class CRpcExc : public CExc
{
public:
    explicit CRpcExc(RPC_STATUS status);
    CRpcExc(UINT messageId, RPC_STATUS status);
    CRpcExc(UINT messageId, const std::wstring& a1, RPC_STATUS status);
    CRpcExc(const std::wstring& text, RPC_STATUS status);

    RPC_STATUS GetStatus() const noexcept { return m_status; }

private:
    void Init(RPC_STATUS status);
    RPC_STATUS m_status = 0;
};

// Thrown when a termination event is found signalled: stop at once. Not an error; only the
// thread loop that owns the event catches it, and it never becomes a COM error.
struct STermExc
{
};
