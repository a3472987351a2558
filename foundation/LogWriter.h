#pragma once
// Where the lines of a logger end up. A logger hands every finished line to its writer; the
// writer decides the format and the medium.

#include <windows.h>
#include <string>
#include <vector>

#include "foundation/Threads.h"

namespace util
{
// Loggers and writers each own one.
using CLogLock = CCriticalSection;

using LogTags = std::vector<std::wstring>;

class CLogWriter
{
public:
    virtual ~CLogWriter() = default;

    // Hands one line (no line breaks inside) to the writer. Lines from any number of loggers
    // and threads reach Write one at a time.
    void WriteLine(int level, const LogTags& tags, int depth, const std::wstring& text)
    {
        CLogLock::CHold hold(m_lock);
        Write(level, tags, depth, text);
    }

protected:
    // Called under the writer's lock. `depth` is the indentation level of the line.
    virtual void Write(int level, const LogTags& tags, int depth, const std::wstring& text) = 0;

private:
    CLogLock m_lock;
};
}
