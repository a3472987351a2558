// The handle owner closes each handle exactly once, on every path, and never disturbs the
// caller's last-error code.
#include <gtest/gtest.h>

#include <vector>
#include "foundation/ComTypes.h"
#include "foundation/Handle.h"

namespace
{
std::vector<HANDLE> g_closed;

BOOL WINAPI RecordClose(HANDLE h)
{
    g_closed.push_back(h);
    SetLastError(ERROR_INVALID_HANDLE);  // a close that fails must not leak into the caller's error
    return FALSE;
}

using CProbe = util::CUniqueAny<HANDLE, &RecordClose>;

TEST(HandleOwner, ClosesOnceAndKeepsTheLastError)
{
    g_closed.clear();
    {
        CProbe h(reinterpret_cast<HANDLE>(7));
        SetLastError(ERROR_ACCESS_DENIED);
        h.reset();
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    }
    EXPECT_EQ(std::vector<HANDLE>{reinterpret_cast<HANDLE>(7)}, g_closed);
}

TEST(ComTypes, BstrKeepsEmbeddedZerosAndNullReadsAsEmpty)
{
    util::CBstr b(std::wstring(L"a\0b", 3));
    EXPECT_EQ(3u, b.Length());
    EXPECT_EQ(std::wstring(L"a\0b", 3), b.Text());
    EXPECT_EQ(L"", util::CBstr::ToText(nullptr));
    BSTR out = b.release();
    EXPECT_EQ(nullptr, b.get());
    SysFreeString(out);
}
}
