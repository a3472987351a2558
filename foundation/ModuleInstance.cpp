#include "foundation/ModuleInstance.h"

namespace util
{
namespace
{
HMODULE g_module = nullptr;

HMODULE ModuleOfThisCode() noexcept
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ModuleOfThisCode), &module);
    return module;
}
}

HMODULE GetModuleInstance() noexcept
{
    return g_module ? g_module : ModuleOfThisCode();
}

void SetModuleInstance(HMODULE module) noexcept
{
    g_module = module;
}

std::wstring GetModuleFilePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;)
    {
        DWORD n = GetModuleFileNameW(GetModuleInstance(), &path[0], static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::wstring();
        if (n < path.size())
        {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}
}
