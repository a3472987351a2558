#pragma once
// Helpers shared by the service control and guest metrics tests: simulated guest files and
// checks of a CWin32Exc's sentences.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "foundation/Exc.h"
#include "foundation/Log.h"
#include "tests/foundation/LogRecorder.h"
#include "tests/foundation/FilesTestSupport.h"

namespace remote_test
{
using filestest::Raised;
using filestest::Sentences;

inline std::wstring ComputerName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    GetComputerNameW(name, &size);
    return name;
}

// Writes `text` as the simulated guests' description and points the simulation at it. Every
// call uses a new file, so the simulation always notices the change.
inline void UseGuests(const std::string& text)
{
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = folder + filestest::UniqueName(L"nimbo_remote_guests") + L".ini";
    filestest::WriteTextFile(path, text);
    SetEnvironmentVariableW(L"NIMBO_SIM_GUESTS", path.c_str());
}

using CLineRecorder = logtest::CLogRecorder;
using logtest::RecordingLog;

// The exception's sentences are `sentences` followed by the system line of `code`.
inline void ExpectWin32Sentences(const CWin32Exc& e, DWORD code,
                                 const std::vector<std::wstring>& sentences)
{
    EXPECT_EQ(e.GetCode(), code);
    EXPECT_EQ(e.GetHResult(), HRESULT(code ? 0x80070000u | (code & 0xFFFF) : 0));
    filestest::ExpectSentencesAndWin32Line(e, sentences, static_cast<long>(code));
}
}
