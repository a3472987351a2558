#pragma once
#include <string>

#include "foundation/LogWriter.h"

namespace util
{
// Appends each line to a text file in the ANSI code page:
//   [<date> <time>]Info  [tag]... text CR LF
// The file is opened and closed for every line, so it can be read, copied or deleted at any
// moment; a line that cannot be written is dropped without a word, because the log must never
// make the logged operation fail.
class CBackupStyleFileLogWriter : public CLogWriter
{
public:
    // `path` is used as given; its folder is created when the first line needs it.
    explicit CBackupStyleFileLogWriter(std::wstring path) : m_path(std::move(path)) {}

    const std::wstring& GetPath() const { return m_path; }

protected:
    // The depth is not shown in this format.
    void Write(int level, const LogTags& tags, int depth, const std::wstring& text) override;

private:
    std::wstring m_path;
};
}
