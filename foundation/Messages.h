#pragma once
// The numbered message table (string-table resource of the library, ids 100 to 246) and the
// placeholder substitution used by every user-visible sentence.
//
//   log.Info(MsgText(115, host, login));          // "Connecting to a remote host. Host: [..."
//   FormatText(L"Cannot delete file [%1].", path);
//
// Arguments are strings (std::wstring, wide literals, BSTR; a null pointer counts as an empty
// string); numbers are turned into text first with the helpers of foundation/Convert.h.

#include <windows.h>
#include <string>
#include <vector>

namespace util
{
namespace detail
{
inline std::wstring MessageArg(const std::wstring& s) { return s; }
inline std::wstring MessageArg(const wchar_t* s) { return s ? std::wstring(s) : std::wstring(); }
}
}

// String `messageId` of the library's string table. When it is missing or empty the result is
// a stand-in that names the id and still shows four arguments, so a sentence is never lost;
// `found` (optional) tells which case happened.
std::wstring LoadMessage(UINT messageId, bool* found = nullptr);

// Substitutes %1..%N in `pattern` with the arguments. A "%" not followed by a number stays
// (there is no "%%" escape); %0, negative numbers and numbers beyond the arguments stay as
// written.
std::wstring FormatTextList(const std::wstring& pattern, const std::vector<std::wstring>& args);

template <class... Args>
std::wstring FormatText(const std::wstring& pattern, const Args&... args)
{
    static_assert(sizeof...(Args) <= 5, "a message takes at most five arguments");
    return FormatTextList(pattern, std::vector<std::wstring>{util::detail::MessageArg(args)...});
}

// LoadMessage followed by FormatText.
template <class... Args>
std::wstring MsgText(UINT messageId, const Args&... args)
{
    return FormatText(LoadMessage(messageId), args...);
}

// The system's text for a Win32 error or RPC status, exactly as the system gives it (usually
// ending in CR LF); empty when the system has none.
std::wstring GetWin32ErrorText(DWORD code);

// Description of the calling thread's COM error object, or empty. Reading it takes the error
// object off the thread.
std::wstring GetComErrorText();
