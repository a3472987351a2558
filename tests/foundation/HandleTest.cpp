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
using CProbeMinusOne = util::CUniqueAny<HANDLE, &RecordClose, util::MinusOneInvalid>;

HANDLE H(UINT_PTR v) { return reinterpret_cast<HANDLE>(v); }

class HandleOwner : public testing::Test
{
protected:
    void SetUp() override { g_closed.clear(); }
};

TEST_F(HandleOwner, ClosesOnceOnEveryPath)
{
    {
        CProbe a(H(1));
        CProbe b(std::move(a));
        EXPECT_FALSE(a.valid());
        CProbe c(H(2));
        c = std::move(b);  // closes 2, takes 1
        EXPECT_EQ(H(1), c.get());
        *c.put() = H(3);  // put() closes 1 first
        c.reset(H(4));    // closes 3
        HANDLE released = c.release();
        EXPECT_EQ(H(4), released);
        c.reset(H(5));
    }  // closes 5
    EXPECT_EQ((std::vector<HANDLE>{H(2), H(1), H(3), H(5)}), g_closed);
}

TEST_F(HandleOwner, InvalidValueIsNeverClosed)
{
    {
        CProbe empty;
        CProbe null(nullptr);
        CProbeMinusOne minusOneEmpty;
        CProbeMinusOne minusOne(INVALID_HANDLE_VALUE);
        CProbeMinusOne zero(nullptr);  // 0 is a valid value for this kind
        EXPECT_FALSE(empty.valid());
        EXPECT_FALSE(minusOne.valid());
        EXPECT_TRUE(zero.valid());
    }
    EXPECT_EQ((std::vector<HANDLE>{nullptr}), g_closed);
}

TEST_F(HandleOwner, ClosingKeepsTheLastError)
{
    CProbe h(H(7));
    SetLastError(ERROR_ACCESS_DENIED);
    h.reset();
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
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
