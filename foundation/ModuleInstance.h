#pragma once
#include <windows.h>
#include <string>

namespace util
{
// The module (DLL or test executable) that holds this code and its resources: the string
// table, the type library, the registration scripts and the version resource.
HMODULE GetModuleInstance() noexcept;

// Recorded by the DLL entry point on process attach; until then the module is found from
// the address of this code, which gives the same answer inside the DLL and in test programs.
void SetModuleInstance(HMODULE module) noexcept;

// Full path of the module's own file.
std::wstring GetModuleFilePath();
}
