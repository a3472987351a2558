#pragma once
// Helpers shared by the service control and guest metrics tests: simulated guest files, a log
// writer that keeps its lines, and checks of a CWin32Exc's sentences.

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/Exc.h"
#include "foundation/Log.h"

namespace remote_test
{
// Writes `text` as the simulated guests' description and points the simulation at it. Every
// call uses a new file, so the simulation always notices the change.
inline void UseGuests(const std::string& text)
{
    static unsigned counter = 0;
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    std::wstring path = std::wstring(folder) + L"nimbo_remote_guests_" +
                        std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter) +
                        L".ini";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    SetEnvironmentVariableW(L"NIMBO_SIM_GUESTS", path.c_str());
}

struct SLine
{
    int level;
    std::wstring text;
};

// Keeps every line handed to it, in order.
class CLineRecorder : public util::CLogWriter
{
public:
    std::vector<SLine> lines;

    std::vector<std::wstring> Texts(int level) const
    {
        std::vector<std::wstring> result;
        for (const auto& line : lines)
            if (line.level == level)
                result.push_back(line.text);
        return result;
    }
    bool Has(int level, const std::wstring& text) const
    {
        for (const auto& line : lines)
            if (line.level == level && line.text == text)
                return true;
        return false;
    }

protected:
    void Write(int level, const util::LogTags&, int, const std::wstring& text) override
    {
        lines.push_back({level, text});
    }
};

inline std::shared_ptr<util::CLog> RecordingLog(const std::shared_ptr<CLineRecorder>& recorder,
                                                int minimumLevel)
{
    auto log = std::make_shared<util::CLog>();
    log->SetWriter(recorder);
    log->SetLevel(minimumLevel);
    return log;
}

// The exception's sentences are `sentences` followed by the system line of `code`.
inline void ExpectWin32Sentences(const CWin32Exc& e, DWORD code,
                                 const std::vector<std::wstring>& sentences)
{
    EXPECT_EQ(e.GetCode(), code);
    EXPECT_EQ(e.GetHResult(), HRESULT(code ? 0x80070000u | (code & 0xFFFF) : 0));
    std::vector<std::wstring> messages(e.GetMessages().begin(), e.GetMessages().end());
    ASSERT_EQ(messages.size(), sentences.size() + 1) << e.GetFullText();
    for (size_t i = 0; i < sentences.size(); ++i)
        EXPECT_EQ(messages[i], sentences[i]) << "sentence " << i;
    const std::wstring& system = messages.back();
    const std::wstring tail = L" Code: " + std::to_wstring(code);
    EXPECT_EQ(system.compare(0, 12, L"Win32 error:"), 0) << system;
    ASSERT_GE(system.size(), tail.size());
    EXPECT_EQ(system.substr(system.size() - tail.size()), tail) << system;
}
}
