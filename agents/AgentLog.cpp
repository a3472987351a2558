#include "agents/AgentLog.h"

#include <cstdio>
#include <cwchar>

namespace agent
{
namespace
{
std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string result(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0],
                            size, nullptr, nullptr);
    return result;
}
}

CAgentLog::CAgentLog(std::wstring path, bool echoToConsole)
    : m_path(std::move(path)), m_echo(echoToConsole)
{
    m_file.reset(CreateFileW(m_path.c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file)
        m_openError = GetLastError();
    InitializeCriticalSection(&m_lock);
}

CAgentLog::~CAgentLog()
{
    DeleteCriticalSection(&m_lock);
}

const wchar_t* CAgentLog::LevelName(DWORD level) noexcept
{
    switch (level)
    {
    case static_cast<DWORD>(ELogLevel::Trace): return L"TRACE";
    case static_cast<DWORD>(ELogLevel::Warning): return L"WARNING";
    case static_cast<DWORD>(ELogLevel::Error): return L"ERROR";
    default: return L"INFO";
    }
}

void CAgentLog::Write(ELogLevel level, const std::wstring& text) noexcept
{
    try
    {
        SYSTEMTIME now;
        GetLocalTime(&now);
        wchar_t prefix[80];
        swprintf(prefix, 80, L"%04u-%02u-%02u %02u:%02u:%02u.%03u [%5lu] %-7ls ", now.wYear,
                 now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                 static_cast<unsigned long>(GetCurrentThreadId()),
                 LevelName(static_cast<DWORD>(level)));
        std::wstring line = prefix + text;

        std::string bytes = ToUtf8(line + L"\r\n");
        EnterCriticalSection(&m_lock);
        if (m_file)
        {
            DWORD written = 0;
            WriteFile(m_file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                      nullptr);
        }
        if (m_echo)
        {
            fwprintf(stderr, L"%ls\n", line.c_str());
            fflush(stderr);
        }
        LeaveCriticalSection(&m_lock);
    }
    catch (...)
    {
        // Out of memory while formatting: the line is lost, the agent goes on.
    }
}
}
