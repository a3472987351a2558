#pragma once
// Value conversions for messages, log lines and XML attributes.

#include <windows.h>
#include <exception>
#include <string>

namespace util
{
// Signed decimal: -5 -> "-5".
std::wstring ToDecimal(long value);
// Lowercase hexadecimal with "0x" and no leading zeros: 0x80070005 -> "0x80070005", 10 -> "0xa".
std::wstring ToHex(unsigned long value);
// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lowercase; empty if the system gives no text.
std::wstring GuidToText(const GUID& guid);

// Equal without regard to case, character by character and without linguistic rules (host
// names, XML tags): both sides are upper-cased with the invariant locale's table.
bool EqualNoCase(const std::wstring& a, const std::wstring& b);

// Failure of a code page conversion. Not part of the CExc family: it is raised from inside the
// log writer, which must not produce log-worthy sentences of its own.
class CCodePageError : public std::exception
{
public:
    explicit CCodePageError(HRESULT hr) noexcept : m_hr(hr) {}
    HRESULT GetHResult() const noexcept { return m_hr; }
    const char* what() const noexcept override { return "code page conversion failed"; }

private:
    HRESULT m_hr;
};

// UTF-16 text in the thread's ANSI code page (the result holds no terminating zero).
// Throws CCodePageError.
std::string WideToAnsi(const std::wstring& text);
}
