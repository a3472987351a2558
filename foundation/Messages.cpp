#include "foundation/Messages.h"

#include <oleauto.h>
#include <cwchar>
#include "foundation/ComTypes.h"
#include "foundation/ModuleInstance.h"

std::wstring LoadMessage(UINT messageId, bool* found)
{
    // With a zero buffer size LoadStringW hands out a pointer into the resource itself and the
    // length, so trailing blanks and any length of text come through unchanged.
    const wchar_t* resource = nullptr;
    int length = LoadStringW(util::GetModuleInstance(), messageId, reinterpret_cast<LPWSTR>(&resource), 0);
    if (length > 0 && resource)
    {
        if (found)
            *found = true;
        return std::wstring(resource, static_cast<size_t>(length));
    }
    if (found)
        *found = false;
    // The stand-in keeps four placeholders so the caller's arguments still reach the log.
    return L"Cannot load a string from the strings table. String ID: " + std::to_wstring(messageId) +
           L"Arguments: %1, %2, %3, %4.";
}

std::wstring FormatTextList(const std::wstring& pattern, const std::vector<std::wstring>& args)
{
    std::wstring out;
    out.reserve(pattern.size());
    const wchar_t* const begin = pattern.c_str();
    const wchar_t* const end = begin + pattern.size();
    const wchar_t* p = begin;
    while (p < end)
    {
        if (*p != L'%')
        {
            out += *p++;
            continue;
        }
        const wchar_t* numberStart = p + 1;
        wchar_t* numberEnd = nullptr;
        long n = wcstol(numberStart, &numberEnd, 10);
        if (numberEnd == numberStart)
        {
            out += L'%';
            p = numberStart;
            continue;
        }
        if (n >= 1 && static_cast<unsigned long>(n) <= args.size())
            out += args[static_cast<size_t>(n - 1)];
        else
            out += L"%" + std::to_wstring(n);
        p = numberEnd;
    }
    return out;
}

std::wstring GetWin32ErrorText(DWORD code)
{
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer), 0,
                                  nullptr);
    if (!buffer)
        return std::wstring();
    std::wstring text;
    try
    {
        text.assign(buffer, length);
    }
    catch (...)
    {
        LocalFree(buffer);
        throw;
    }
    LocalFree(buffer);
    return text;
}

std::wstring GetComErrorText()
{
    util::CComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK || !info)
        return std::wstring();
    util::CBstr description;
    if (FAILED(info->GetDescription(description.put())))
        return std::wstring();
    return description.Text();
}
