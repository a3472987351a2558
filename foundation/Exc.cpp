#include "foundation/Exc.h"

#include "foundation/Convert.h"

HRESULT HResultFromSystemCode(long code) noexcept
{
    if (code > 0)
        return static_cast<HRESULT>(0x80070000u | (static_cast<unsigned long>(code) & 0xFFFFu));
    return static_cast<HRESULT>(code);
}

// ---- CExc ----

CExc::CExc(const std::wstring& text, HRESULT hr) : m_hr(hr)
{
    m_messages.push_back(text);
}

CExc::CExc(const std::wstring& pattern, const std::wstring& a1, HRESULT hr) : m_hr(hr)
{
    m_messages.push_back(FormatText(pattern, a1));
}

CExc::CExc(const std::wstring& pattern, const std::wstring& a1, const std::wstring& a2, HRESULT hr) : m_hr(hr)
{
    m_messages.push_back(FormatText(pattern, a1, a2));
}

void CExc::AddMessage(const std::wstring& text)
{
    AddFront(text);
}

void CExc::AddFront(std::wstring sentence)
{
    m_messages.push_front(std::move(sentence));
}

std::wstring CExc::GetFullText() const
{
    static const std::wstring kLineBreak = L"\r\n";
    std::wstring text;
    bool first = true;
    for (const std::wstring& element : m_messages)
    {
        if (!first)
            text += kLineBreak;
        first = false;
        // System texts end in a line break of their own; the separator already gives one.
        if (element.size() >= 2 && element.compare(element.size() - 2, 2, kLineBreak) == 0)
            text.append(element, 0, element.size() - 2);
        else
            text += element;
    }
    return text;
}

// ---- CWin32Exc ----

CWin32Exc::CWin32Exc()
{
    Init(GetLastError());
}

CWin32Exc::CWin32Exc(DWORD code)
{
    Init(code);
}

CWin32Exc::CWin32Exc(const std::wstring& text, DWORD code)
{
    Init(code);
    AddFront(text);
}

CWin32Exc::CWin32Exc(const std::wstring& pattern, const std::wstring& a1, DWORD code)
{
    Init(code);
    AddFront(FormatText(pattern, a1));
}

CWin32Exc::CWin32Exc(const std::wstring& pattern, const std::wstring& a1, const std::wstring& a2, DWORD code)
{
    Init(code);
    AddFront(FormatText(pattern, a1, a2));
}

CWin32Exc::CWin32Exc(UINT messageId, DWORD code)
{
    Init(code);
    AddFront(MsgText(messageId));
}

CWin32Exc::CWin32Exc(UINT messageId, const std::wstring& a1, DWORD code)
{
    Init(code);
    AddFront(MsgText(messageId, a1));
}

void CWin32Exc::Init(DWORD code)
{
    // First thing: nothing may run between the caller's failure and this read.
    if (code == kLastError)
        code = GetLastError();
    m_code = code;
    SetHResult(HResultFromSystemCode(static_cast<long>(code)));
    AddFront(L"Win32 error:" + GetWin32ErrorText(code) + L" Code: " + util::ToDecimal(static_cast<long>(code)));
}

// ---- CComExc ----

CComExc::CComExc(HRESULT hr)
{
    Init(hr);
}

CComExc::CComExc(const std::wstring& text, HRESULT hr)
{
    Init(hr);
    AddFront(text);
}

CComExc::CComExc(const std::wstring& pattern, const std::wstring& a1, HRESULT hr)
{
    Init(hr);
    AddFront(FormatText(pattern, a1));
}

void CComExc::Init(HRESULT hr)
{
    SetHResult(hr);
    AddFront(L"COM error: " + GetComErrorText() + L" Code: " + util::ToHex(static_cast<unsigned long>(hr)));
}

// ---- CRpcExc ----

CRpcExc::CRpcExc(RPC_STATUS status)
{
    Init(status);
}

CRpcExc::CRpcExc(UINT messageId, RPC_STATUS status)
{
    Init(status);
    AddFront(MsgText(messageId));
}

CRpcExc::CRpcExc(UINT messageId, const std::wstring& a1, RPC_STATUS status)
{
    Init(status);
    AddFront(MsgText(messageId, a1));
}

CRpcExc::CRpcExc(const std::wstring& text, RPC_STATUS status)
{
    Init(status);
    AddFront(text);
}

void CRpcExc::Init(RPC_STATUS status)
{
    m_status = status;
    SetHResult(HResultFromSystemCode(status));
    AddFront(L"RPC error:" + GetWin32ErrorText(static_cast<DWORD>(status)) + L" Code: " + util::ToDecimal(status));
}
