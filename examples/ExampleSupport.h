#pragma once
// What every example client needs: a failed call printed with the library's own error text, and
// interface pointers released once.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace example
{
// Guards the console: events may arrive on another thread while the main thread prints.
inline std::mutex& PrintLock()
{
    static std::mutex lock;
    return lock;
}

// Prints a failed call with the library's error description; true when the call succeeded.
inline bool Succeeded(const wchar_t* what, HRESULT hr)
{
    if (SUCCEEDED(hr))
        return true;
    std::wstring description;
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info)
    {
        BSTR text = nullptr;
        if (SUCCEEDED(info->GetDescription(&text)) && text)
            description = text;
        SysFreeString(text);
        info->Release();
    }
    std::lock_guard<std::mutex> hold(PrintLock());
    wprintf(L"  %ls failed with 0x%08lX:\n    %ls\n", what, static_cast<unsigned long>(hr), description.c_str());
    return false;
}

template <class T>
void Release(T*& p)
{
    if (p)
        p->Release();
    p = nullptr;
}
}
