#include "foundation/Log.h"

#include <algorithm>

#include "foundation/AgentVersion.h"
#include "foundation/BackupStyleFileLogWriter.h"
#include "foundation/ModuleInstance.h"

namespace util
{
int CLogIndent::Add(int delta)
{
    CLogLock::CHold hold(*m_lock);
    m_depth = std::max(0, m_depth + delta);
    return m_depth;
}

int CLogIndent::Set(int depth)
{
    CLogLock::CHold hold(*m_lock);
    int previous = m_depth;
    m_depth = std::max(0, depth);
    return previous;
}

int CLogIndent::Get() const
{
    CLogLock::CHold hold(*m_lock);
    return m_depth;
}

CLogCore::CLogCore()
    : m_lock(std::make_shared<CLogLock>()), m_indent(std::make_shared<CLogIndent>(m_lock))
{
}

void CLogCore::SetLevel(int minimumLevel)
{
    CLogLock::CHold hold(*m_lock);
    m_level = minimumLevel;
}

int CLogCore::GetLevel() const
{
    CLogLock::CHold hold(*m_lock);
    return m_level;
}

void CLogCore::SetWriter(std::shared_ptr<CLogWriter> writer)
{
    std::shared_ptr<CLogWriter> old;
    {
        CLogLock::CHold hold(*m_lock);
        old = std::move(m_writer);
        m_writer = std::move(writer);
    }
    // The old writer goes here, outside the lock, unless a line is still being written to it.
}

std::shared_ptr<CLogWriter> CLogCore::GetWriter() const
{
    CLogLock::CHold hold(*m_lock);
    return m_writer;
}

bool CLogCore::IsEnabled(int level) const
{
    CLogLock::CHold hold(*m_lock);
    return m_writer && m_level <= level;
}

CLog::CLog() : m_core(std::make_shared<CLogCore>()), m_indent(m_core->GetIndent())
{
}

CLog::CLog(std::shared_ptr<CLogCore> core, LogTags tags, std::shared_ptr<CLogIndent> indent)
    : m_tags(std::move(tags)), m_core(std::move(core)), m_indent(std::move(indent))
{
    if (!m_indent)
        m_indent = m_core->GetIndent();
}

void CLog::WriteLines(int level, int depth, const std::wstring& text)
{
    std::shared_ptr<CLogWriter> writer = m_core->GetWriter();
    if (!writer)
        return;
    size_t start = 0;
    while (start < text.size())
    {
        size_t lf = text.find(L'\n', start);
        if (lf == std::wstring::npos)
        {
            writer->WriteLine(level, m_tags, depth, text.substr(start));
            return;
        }
        size_t end = (lf > start && text[lf - 1] == L'\r') ? lf - 1 : lf;
        writer->WriteLine(level, m_tags, depth, text.substr(start, end - start));
        start = lf + 1;
    }
}

void CLog::Write(int level, const std::wstring& text)
{
    CLogLock::CHold hold(GetLock());
    WriteLines(level, GetDepth(), text);
}

void CLog::WriteExc(int level, const CExc& e)
{
    CLogLock::CHold hold(GetLock());
    int depth = GetDepth() + 1;
    for (const std::wstring& sentence : e.GetMessages())
        WriteLines(level, depth, sentence);
}

void CLog::WriteWithExc(int level, const std::wstring& text, const CExc& e)
{
    CLogLock::CHold hold(GetLock());
    Write(level, text);
    WriteExc(level, e);
}

CLogScope::CLogScope(CLog& log, int level, const std::wstring& text)
{
    if (log.IsEnabled(level))
        Open(log, level, text);
}

void CLogScope::Open(CLog& log, int level, std::wstring text)
{
    CLogLock::CHold hold(log.GetLock());
    m_log = &log;
    m_level = level;
    m_text = std::move(text);
    m_log->Indent(1);
    m_log->Write(m_level, m_text);
    m_log->Indent(1);
}

void CLogScope::Close(const wchar_t* outcome)
{
    if (!m_log)
        return;
    CLog* log = m_log;
    m_log = nullptr;
    CLogLock::CHold hold(log->GetLock());
    log->Indent(-1);
    log->Write(m_level, m_text + outcome);
    log->Indent(-1);
}

CLogScope::~CLogScope()
{
    // Reached with the logger still held only when the operation did not finish.
    try
    {
        Close(L"Failed.");
    }
    catch (...)
    {
        // A destructor that runs during unwinding must not raise; the line is lost.
    }
}

int MinimumLevelFromComLevel(int comLevel) noexcept
{
    switch (comLevel)
    {
    case 1:
        return LogInfo;
    case 2:
        return LogTrace;
    default:
        return LogNothing;
    }
}

void InitLogging(CLog& log, int comLevel, const std::wstring& path)
{
    log.SetWriter(std::make_shared<CBackupStyleFileLogWriter>(path));
    log.SetLevel(MinimumLevelFromComLevel(comLevel));
    log.Info(std::wstring(82, L'='));
    WriteVersionBanner(log, MsgText(245));
}

void WriteVersionBanner(CLog& log, const std::wstring& title)
{
    if (!log.IsInfoEnabled())
        return;
    CLogLock::CHold hold(log.GetLock());
    int depth = log.GetDepth();
    try
    {
        log.Info(title);
        log.Info(L"{");
        log.Indent(1);
        std::wstring path = GetModuleFilePath();
        log.Info(L"Module name: [%1].", path.substr(path.find_last_of(L"\\/") + 1));
        log.Info(L"Module path: [%1].", path);
        try
        {
            log.Info(L"Module version: [%1].", SNimboAgentVersion(GetFileVersion(path)).ToText());
        }
        catch (CExc&)
        {
            // An unreadable version resource costs only this line.
        }
        log.Indent(-1);
        log.Info(L"}");
    }
    catch (CExc&)
    {
        // The banner is informative only; the caller's operation goes on without it.
    }
    log.SetDepth(depth);
}
}
