#pragma once
// The diagnostic log. Each connection object owns one CLog and hands the same shared
// reference to every child it creates; until InitLogging installs a writer, every logging call
// is a cheap no-op.
//
//   log->Info(115, host, login);                   // message-table id with arguments
//   log->Warning(L"Retrying [%1].", path);         // literal pattern with arguments
//   log->Error(e, 101, host, login);               // the line, then every sentence of e
//
//   util::CInfoScope scope(*log, 121);             // "Installing agent."
//   ...                                            // lines in here are one level deeper
//   scope.Ok();                                    // "Installing agent.Ok."
//                                                  // (left by an exception: "...Failed.")

#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Exc.h"
#include "foundation/LogWriter.h"
#include "foundation/Messages.h"

namespace util
{
enum ELogLevel : int
{
    LogTrace = 1,
    LogInfo = 2,
    LogWarning = 3,
    LogError = 4,
    // As a minimum level: write nothing.
    LogNothing = 5,
};

// Indentation depth shared by every logger that uses it; never below 0.
class CLogIndent
{
public:
    explicit CLogIndent(std::shared_ptr<CLogLock> lock) : m_lock(std::move(lock)) {}

    // Adds `delta` (clamped at 0) and returns the new depth.
    int Add(int delta);
    // Returns the previous depth.
    int Set(int depth);
    int Get() const;

private:
    std::shared_ptr<CLogLock> m_lock;
    int m_depth = 0;
};

// What the loggers of one connection share: the lock that keeps their lines in order, the
// default indentation, the writer and the minimum level.
class CLogCore
{
public:
    CLogCore();

    void SetLevel(int minimumLevel);
    int GetLevel() const;
    // Replaces the writer; an empty one disables the log. The old writer is released when its
    // last line has been written.
    void SetWriter(std::shared_ptr<CLogWriter> writer);
    std::shared_ptr<CLogWriter> GetWriter() const;
    // A writer is installed and lines of `level` pass the minimum level.
    bool IsEnabled(int level) const;

    CLogLock& GetLock() const { return *m_lock; }
    const std::shared_ptr<CLogIndent>& GetIndent() const { return m_indent; }

private:
    std::shared_ptr<CLogLock> m_lock;
    std::shared_ptr<CLogIndent> m_indent;
    std::shared_ptr<CLogWriter> m_writer;
    int m_level = LogNothing;
};

class CLog
{
public:
    // No tags, a core of its own (no writer yet) and the core's indentation.
    CLog();
    // Shares an existing core; `indent` empty means the core's own.
    CLog(std::shared_ptr<CLogCore> core, LogTags tags, std::shared_ptr<CLogIndent> indent = nullptr);

    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    const std::shared_ptr<CLogCore>& GetCore() const { return m_core; }
    const LogTags& GetTags() const { return m_tags; }

    void SetLevel(int minimumLevel) { m_core->SetLevel(minimumLevel); }
    void SetWriter(std::shared_ptr<CLogWriter> writer) { m_core->SetWriter(std::move(writer)); }

    bool IsEnabled(int level) const { return m_core->IsEnabled(level); }
    bool IsTraceEnabled() const { return IsEnabled(LogTrace); }
    bool IsInfoEnabled() const { return IsEnabled(LogInfo); }

    // Indentation of the following lines; shared by all threads using this logger.
    int Indent(int delta) { return m_indent->Add(delta); }
    int SetDepth(int depth) { return m_indent->Set(depth); }
    int GetDepth() const { return m_indent->Get(); }

    // Holding the core's lock keeps a group of lines together.
    CLogLock& GetLock() const { return m_core->GetLock(); }

    // One message: split at line feeds (a CR before the LF is dropped), one writer line each.
    void Write(int level, const std::wstring& text);
    // Every sentence of `e`, outermost first, one level deeper than the current depth.
    void WriteExc(int level, const CExc& e);
    // The message, then the exception's sentences, as one uninterrupted group.
    void WriteWithExc(int level, const std::wstring& text, const CExc& e);

    // One family per level. Each takes a text, a pattern with arguments, or a message-table
    // id with arguments; the text is built only when the line will be written. An exception
    // may come first: then the message (if any) is followed by the exception's sentences.
    template <class... A> void Trace(const A&... args) { Log(LogTrace, args...); }
    template <class... A> void Info(const A&... args) { Log(LogInfo, args...); }
    template <class... A> void Warning(const A&... args) { Log(LogWarning, args...); }
    template <class... A> void Error(const A&... args) { Log(LogError, args...); }

    void Log(int level, const std::wstring& text)
    {
        if (IsEnabled(level))
            Write(level, text);
    }
    template <class A1, class... A>
    void Log(int level, const std::wstring& pattern, const A1& a1, const A&... args)
    {
        if (IsEnabled(level))
            Write(level, FormatText(pattern, a1, args...));
    }
    template <class... A>
    void Log(int level, UINT messageId, const A&... args)
    {
        if (IsEnabled(level))
            Write(level, MsgText(messageId, args...));
    }
    void Log(int level, const wchar_t* text) { Log(level, std::wstring(text ? text : L"")); }
    template <class A1, class... A>
    void Log(int level, const wchar_t* pattern, const A1& a1, const A&... args)
    {
        Log(level, std::wstring(pattern ? pattern : L""), a1, args...);
    }

    template <class... A>
    void Log(int level, const CExc& e, const A&... args)
    {
        LogExc(level, e, args...);
    }

    void LogExc(int level, const CExc& e)
    {
        if (IsEnabled(level))
            WriteExc(level, e);
    }
    void LogExc(int level, const CExc& e, const std::wstring& text)
    {
        if (IsEnabled(level))
            WriteWithExc(level, text, e);
    }
    void LogExc(int level, const CExc& e, const wchar_t* text)
    {
        LogExc(level, e, std::wstring(text ? text : L""));
    }
    template <class A1, class... A>
    void LogExc(int level, const CExc& e, const std::wstring& pattern, const A1& a1, const A&... args)
    {
        if (IsEnabled(level))
            WriteWithExc(level, FormatText(pattern, a1, args...), e);
    }
    template <class A1, class... A>
    void LogExc(int level, const CExc& e, const wchar_t* pattern, const A1& a1, const A&... args)
    {
        LogExc(level, e, std::wstring(pattern ? pattern : L""), a1, args...);
    }
    template <class... A>
    void LogExc(int level, const CExc& e, UINT messageId, const A&... args)
    {
        if (IsEnabled(level))
            WriteWithExc(level, MsgText(messageId, args...), e);
    }

private:
    void WriteLines(int level, int depth, const std::wstring& text);

    LogTags m_tags;
    std::shared_ptr<CLogCore> m_core;
    std::shared_ptr<CLogIndent> m_indent;
};

// Brackets an operation: writes its text and indents; Ok() closes with the text followed by
// "Ok.", leaving by an exception closes with "Failed.". A scope whose level is not written
// when it opens stays inert. The logger must outlive the scope.
class CLogScope
{
public:
    CLogScope(CLog& log, int level, const std::wstring& text);
    CLogScope(CLog& log, int level, const wchar_t* text) : CLogScope(log, level, std::wstring(text ? text : L"")) {}
    template <class... A>
    CLogScope(CLog& log, int level, UINT messageId, const A&... args)
    {
        static_assert(sizeof...(A) <= 3, "a scope message takes at most three arguments");
        if (log.IsEnabled(level))
            Open(log, level, MsgText(messageId, args...));
    }
    ~CLogScope();

    CLogScope(const CLogScope&) = delete;
    CLogScope& operator=(const CLogScope&) = delete;

    void Ok() { Close(L"Ok."); }

private:
    void Open(CLog& log, int level, std::wstring text);
    void Close(const wchar_t* outcome);

    CLog* m_log = nullptr;
    int m_level = LogNothing;
    std::wstring m_text;
};

class CTraceScope : public CLogScope
{
public:
    template <class... A>
    CTraceScope(CLog& log, UINT messageId, const A&... args) : CLogScope(log, LogTrace, messageId, args...) {}
};

class CInfoScope : public CLogScope
{
public:
    template <class... A>
    CInfoScope(CLog& log, UINT messageId, const A&... args) : CLogScope(log, LogInfo, messageId, args...) {}
};

// Minimum level for the log level a caller gives through COM: none 0 -> 5, information 1 -> 2,
// trace 2 -> 1; anything else writes nothing.
int MinimumLevelFromComLevel(int comLevel) noexcept;

// Starts (or restarts) the log of a connection object: a file writer on `path` (used as given),
// the minimum level, a rule of "=" and the version banner.
void InitLogging(CLog& log, int comLevel, const std::wstring& path);

// The library's name, path and file version between braces, under `title`, at information
// level. A failure to read the version leaves that line out; nothing here raises.
void WriteVersionBanner(CLog& log, const std::wstring& title);
}
