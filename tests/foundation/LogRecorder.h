#pragma once
// How tests read a log, shared by every suite: a writer that keeps each line with its level
// and depth, and a reader of the backup-style file that drops the time stamps. Tests compare
// the whole log of a scenario, so a sentence too many fails them as much as one too few.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Log.h"
#include "tests/foundation/FilesTestSupport.h"

namespace logtest
{
// The lines a message becomes in a log: split at LF, a CR before it dropped, no empty tail.
inline std::vector<std::wstring> LinesOf(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1)
    {
        end = std::min(text.find(L'\n', start), text.size());
        lines.push_back(text.substr(start, end - start - (end > start && text[end - 1] == L'\r')));
    }
    return lines;
}

inline void Append(std::vector<std::wstring>& to, const std::vector<std::wstring>& lines)
{
    to.insert(to.end(), lines.begin(), lines.end());
}

// Keeps every line handed to it as "<level letter><depth> <text>": "I1 Installing agent.".
class CLogRecorder : public util::CLogWriter
{
public:
    std::vector<std::wstring> lines;

    // The lines of one level (of every level when 0), text only.
    std::vector<std::wstring> Texts(int level = 0) const
    {
        std::vector<std::wstring> texts;
        for (const std::wstring& line : lines)
            if (level == 0 || line[0] == Letter(level))
                texts.push_back(line.substr(line.find(L' ') + 1));
        return texts;
    }
    bool Has(int level, const std::wstring& text) const
    {
        const std::vector<std::wstring> texts = Texts(level);
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    }
    // The form of `text` logged at `level` and `depth` (one entry per line of it).
    static std::vector<std::wstring> Expect(int level, int depth, const std::wstring& text)
    {
        std::vector<std::wstring> result;
        for (const std::wstring& line : LinesOf(text))
            result.push_back(Letter(level) + std::to_wstring(depth) + L" " + line);
        return result;
    }

protected:
    void Write(int level, const util::LogTags&, int depth, const std::wstring& text) override
    {
        lines.push_back(Letter(level) + std::to_wstring(depth) + L" " + text);
    }

private:
    static wchar_t Letter(int level) { return level >= 1 && level <= 4 ? L"TIWE"[level - 1] : L'?'; }
};

inline std::shared_ptr<util::CLog> RecordingLog(const std::shared_ptr<CLogRecorder>& recorder, int minimumLevel = util::LogTrace)
{
    auto log = std::make_shared<util::CLog>();
    log->SetWriter(recorder);
    log->SetLevel(minimumLevel);
    return log;
}

// The lines of a backup-style log file (in the ANSI code page) without their time stamps:
// "Info  <text>". A line not in that form is kept whole.
inline std::vector<std::wstring> ReadLogFile(const std::wstring& path)
{
    const std::string bytes = filestest::ReadAll(path);
    std::wstring text(bytes.size(), L'\0');  // never more characters than bytes
    text.resize(MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], static_cast<int>(text.size())));
    std::vector<std::wstring> lines;
    for (const std::wstring& line : LinesOf(text))
    {
        const size_t stamp = line.find(L']');
        lines.push_back(!line.empty() && line[0] == L'[' && stamp != std::wstring::npos ? line.substr(stamp + 1) : line);
    }
    return lines;
}
}
