#pragma once
// One owner for every kind of handle: the kind is given by the handle type, its close function
// and the value that means "no handle". Closing never changes GetLastError, so an owner going
// out of scope between a failing call and the throw cannot spoil the error code.
//
//   util::CFileHandle file(CreateFileW(...));
//   if (!file) throw CWin32Exc(L"...", GetLastError());
//   RegOpenKeyExW(root, path, 0, KEY_READ, key.put());   // put() closes the old key first
//
// Other subsystems add their own kinds with the same template:
//   using CScHandle = util::CUniqueAny<SC_HANDLE, &::CloseServiceHandle>;

#include <windows.h>
#include <utility>

namespace util
{
// "No handle" is the null value (kernel objects, registry keys, service handles, ...).
struct NullInvalid
{
    template <class T>
    static T Get() noexcept { return T(); }
};

// "No handle" is INVALID_HANDLE_VALUE (files opened by CreateFile, FindFirstFile searches).
struct MinusOneInvalid
{
    template <class T>
    static T Get() noexcept { return reinterpret_cast<T>(static_cast<LONG_PTR>(-1)); }
};

template <class T, auto CloseFn, class Invalid = NullInvalid>
class CUniqueAny
{
public:
    using Type = T;

    CUniqueAny() noexcept : m_value(Invalid::template Get<T>()) {}
    explicit CUniqueAny(T value) noexcept : m_value(value) {}
    CUniqueAny(CUniqueAny&& other) noexcept : m_value(other.release()) {}
    CUniqueAny& operator=(CUniqueAny&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    CUniqueAny(const CUniqueAny&) = delete;
    CUniqueAny& operator=(const CUniqueAny&) = delete;
    ~CUniqueAny() { reset(); }

    static T InvalidValue() noexcept { return Invalid::template Get<T>(); }

    T get() const noexcept { return m_value; }
    bool valid() const noexcept { return m_value != InvalidValue(); }
    explicit operator bool() const noexcept { return valid(); }

    // Gives up ownership without closing.
    T release() noexcept { return std::exchange(m_value, InvalidValue()); }

    // Closes the held handle (if any) and takes `value`.
    void reset(T value = InvalidValue()) noexcept
    {
        T old = std::exchange(m_value, value);
        if (old != InvalidValue())
        {
            DWORD lastError = GetLastError();
            CloseFn(old);
            SetLastError(lastError);
        }
    }

    // For out-parameters: closes the held handle first, then hands out the address.
    T* put() noexcept
    {
        reset();
        return &m_value;
    }

private:
    T m_value;
};

using CFileHandle = CUniqueAny<HANDLE, &::CloseHandle, MinusOneInvalid>;
using CFindHandle = CUniqueAny<HANDLE, &::FindClose, MinusOneInvalid>;
// Events, threads, mutexes, processes: anything closed by CloseHandle that is NULL on failure.
using CKernelHandle = CUniqueAny<HANDLE, &::CloseHandle>;
using CEventHandle = CKernelHandle;
using CThreadHandle = CKernelHandle;
using CRegKey = CUniqueAny<HKEY, &::RegCloseKey>;
}
