#include "agents/AgentError.h"

#include <cwchar>

namespace agent
{
std::wstring SystemMessage(DWORD code)
{
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length != 0 && buffer != nullptr)
        text.assign(buffer, length);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return text;
}

std::wstring CAgentError::Describe() const
{
    if (m_error == 0)
        return m_text;
    wchar_t code[32];
    // HRESULTs read best in hex, Win32 codes in decimal.
    if (m_error & 0x80000000u)
        swprintf(code, 32, L"0x%08lX", static_cast<unsigned long>(m_error));
    else
        swprintf(code, 32, L"%lu", static_cast<unsigned long>(m_error));
    std::wstring text = m_text + L" Error " + code;
    std::wstring system = SystemMessage(m_error);
    if (!system.empty())
        text += L": " + system;
    else
        text += L".";
    return text;
}

void ThrowLastError(EAgentExit exit, const std::wstring& text)
{
    DWORD error = GetLastError();
    throw CAgentError(exit, text, error);
}
}
