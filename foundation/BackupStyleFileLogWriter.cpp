#include "foundation/BackupStyleFileLogWriter.h"

#include "foundation/Convert.h"
#include "foundation/Exc.h"
#include "foundation/FileSystem.h"
#include "foundation/Handle.h"

namespace util
{
namespace
{
// The user's short date and time, as the locale writes them.
std::string LocalTimestamp()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char date[128] = {};
    char time[128] = {};
    GetDateFormatA(LOCALE_USER_DEFAULT, 0, &now, nullptr, date, sizeof(date));
    GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &now, nullptr, time, sizeof(time));
    return std::string(date) + " " + time;
}

const char* LevelWord(int level)
{
    switch (level)
    {
    case 1:
    case 2:
    case 5:
        return "Info";
    case 3:
        return "Warning";
    case 4:
        return "Error";
    default:
        return "";
    }
}

// Shared for reading only: a second writer on the same file fails to open it and drops its
// line instead of mixing bytes into this one.
HANDLE OpenForAppend(const std::wstring& path, DWORD disposition)
{
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}
}

void CBackupStyleFileLogWriter::Write(int level, const LogTags& tags, int, const std::wstring& text)
{
    std::string line = "[" + LocalTimestamp() + "]" + LevelWord(level) + "  ";
    for (const std::wstring& tag : tags)
        line += "[" + WideToAnsi(tag) + "]";
    if (!tags.empty())
        line += " ";
    line += WideToAnsi(text);
    line += "\r\n";

    CFileHandle file(OpenForAppend(m_path, OPEN_EXISTING));
    if (!file)
    {
        try
        {
            std::wstring folder, name;
            SplitPath(m_path, folder, name);
            if (!folder.empty())
                CreateFolderTree(folder);
        }
        catch (CExc&)
        {
            // The open below tells whether the line can still be written.
        }
        file.reset(OpenForAppend(m_path, OPEN_ALWAYS));
        if (!file)
            return;
    }
    LARGE_INTEGER zero = {};
    SetFilePointerEx(file.get(), zero, nullptr, FILE_END);
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}
}
