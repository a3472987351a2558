#include "foundation/Convert.h"

#include <rpc.h>
#include <vector>
#include "foundation/Exc.h"

namespace util
{
std::wstring ToDecimal(long value)
{
    return std::to_wstring(value);
}

std::wstring ToHex(unsigned long value)
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    wchar_t digits[16];
    size_t n = 0;
    value &= 0xFFFFFFFFul;
    do
    {
        digits[n++] = kDigits[value & 0xF];
        value >>= 4;
    } while (value != 0);
    std::wstring text = L"0x";
    while (n > 0)
        text += digits[--n];
    return text;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    if (a.empty())
        return true;
    // Upper-casing maps each UTF-16 unit to one unit, so the lengths stay equal.
    std::wstring upperA(a.size(), L'\0'), upperB(b.size(), L'\0');
    const int n = static_cast<int>(a.size());
    if (!LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, a.data(), n, &upperA[0], n) ||
        !LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, b.data(), n, &upperB[0], n))
        return a == b;
    return upperA == upperB;
}

std::wstring GuidToText(const GUID& guid)
{
    RPC_WSTR text = nullptr;
    if (UuidToStringW(const_cast<GUID*>(&guid), &text) != RPC_S_OK || !text)
        return std::wstring();
    std::wstring result;
    try
    {
        result = L"{" + std::wstring(reinterpret_cast<const wchar_t*>(text)) + L"}";
    }
    catch (...)
    {
        RpcStringFreeW(&text);
        throw;
    }
    RpcStringFreeW(&text);
    return result;
}

std::string WideToAnsi(const std::wstring& text)
{
    // The terminating zero is converted too, so the byte count includes it.
    const int wideCount = static_cast<int>(text.size() + 1);
    const size_t firstSize = static_cast<size_t>(wideCount) * 4;
    char local[128];
    std::vector<char> heap;
    char* buffer = local;
    if (firstSize > sizeof(local))
    {
        heap.resize(firstSize);
        buffer = heap.data();
    }
    int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), wideCount, buffer, static_cast<int>(firstSize),
                                    nullptr, nullptr);
    if (bytes == 0)
    {
        DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER)
            throw CCodePageError(HResultFromSystemCode(static_cast<long>(error)));
        int needed = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), wideCount, nullptr, 0, nullptr, nullptr);
        if (needed == 0)
            throw CCodePageError(HResultFromSystemCode(static_cast<long>(GetLastError())));
        heap.assign(static_cast<size_t>(needed), '\0');
        buffer = heap.data();
        bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, text.c_str(), wideCount, buffer, needed, nullptr, nullptr);
        if (bytes == 0)
            throw CCodePageError(HResultFromSystemCode(static_cast<long>(GetLastError())));
    }
    return std::string(buffer, static_cast<size_t>(bytes - 1));
}
}
