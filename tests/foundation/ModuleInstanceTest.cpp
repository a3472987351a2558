#include <gtest/gtest.h>
#include "foundation/ModuleInstance.h"

// In a test program the module that holds the code is the program itself, and the library's
// resources are linked into it.
TEST(ModuleInstance, IsThisProgramWithTheLibrarysResources)
{
    EXPECT_EQ(GetModuleHandleW(nullptr), util::GetModuleInstance());
    const std::wstring path = util::GetModuleFilePath();
    EXPECT_EQ(L"foundation_tests.exe", path.substr(path.find_last_of(L'\\') + 1));
    EXPECT_NE(nullptr, FindResourceW(util::GetModuleInstance(), MAKEINTRESOURCEW(1), L"TYPELIB"));
    wchar_t name[64] = {};
    EXPECT_EQ(19, LoadStringW(util::GetModuleInstance(), 100, name, 64));
    EXPECT_STREQ(L"NimboGuestAgentCtrl", name);
}
