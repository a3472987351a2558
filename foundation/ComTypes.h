#pragma once
// Small owners for the COM values that cross the boundary: BSTR, VARIANT and interface
// pointers. Each frees what it holds exactly once; handing a value to the caller is release()
// (or Detach()), never a copy that both sides would free.

#include <windows.h>
#include <oleauto.h>
#include <new>
#include <string>
#include <utility>

namespace util
{
class CBstr
{
public:
    CBstr() noexcept = default;
    // Takes ownership of an allocated BSTR.
    explicit CBstr(BSTR owned) noexcept : m_value(owned) {}
    // Allocates a copy of the text (embedded zeros kept); throws std::bad_alloc.
    explicit CBstr(const std::wstring& text) : m_value(Alloc(text)) {}
    CBstr(CBstr&& other) noexcept : m_value(other.release()) {}
    CBstr& operator=(CBstr&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    CBstr(const CBstr&) = delete;
    CBstr& operator=(const CBstr&) = delete;
    ~CBstr() { reset(); }

    BSTR get() const noexcept { return m_value; }
    BSTR release() noexcept { return std::exchange(m_value, nullptr); }
    void reset(BSTR owned = nullptr) noexcept
    {
        BSTR old = std::exchange(m_value, owned);
        if (old)
            SysFreeString(old);
    }
    // For [out] BSTR parameters: frees the held string first.
    BSTR* put() noexcept
    {
        reset();
        return &m_value;
    }

    // A null BSTR is the empty string.
    UINT Length() const noexcept { return SysStringLen(m_value); }
    std::wstring Text() const { return ToText(m_value); }

    static std::wstring ToText(BSTR value) { return value ? std::wstring(value, SysStringLen(value)) : std::wstring(); }
    static BSTR Alloc(const std::wstring& text)
    {
        BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!b)
            throw std::bad_alloc();
        return b;
    }

private:
    BSTR m_value = nullptr;
};

class CVariant
{
public:
    CVariant() noexcept { VariantInit(&m_value); }
    CVariant(CVariant&& other) noexcept : m_value(other.m_value) { VariantInit(&other.m_value); }
    CVariant& operator=(CVariant&& other) noexcept
    {
        if (this != &other)
        {
            Clear();
            m_value = other.m_value;
            VariantInit(&other.m_value);
        }
        return *this;
    }
    CVariant(const CVariant&) = delete;
    CVariant& operator=(const CVariant&) = delete;
    ~CVariant() { Clear(); }

    VARIANT* get() noexcept { return &m_value; }
    const VARIANT* get() const noexcept { return &m_value; }
    VARTYPE Type() const noexcept { return V_VT(&m_value); }

    void Clear() noexcept { VariantClear(&m_value); }
    // For [out] VARIANT parameters: clears the held value first.
    VARIANT* put() noexcept
    {
        Clear();
        return &m_value;
    }
    // Moves the value out to the caller's VARIANT (which must be cleared or uninitialised).
    void Detach(VARIANT* out) noexcept
    {
        *out = m_value;
        VariantInit(&m_value);
    }

private:
    VARIANT m_value;
};

// A minimal interface pointer: AddRef on copy, Release on destruction.
template <class T>
class CComPtr
{
public:
    CComPtr() noexcept = default;
    // Takes a new reference (AddRef).
    explicit CComPtr(T* p) noexcept : m_p(p)
    {
        if (m_p)
            m_p->AddRef();
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.m_p) {}
    CComPtr(CComPtr&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    CComPtr& operator=(CComPtr other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~CComPtr() { reset(); }

    T* get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    void reset() noexcept
    {
        if (T* p = std::exchange(m_p, nullptr))
            p->Release();
    }
    // For [out] interface parameters: releases the held pointer first.
    T** put() noexcept
    {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    // Takes over a reference without AddRef / gives the reference away without Release.
    void Attach(T* p) noexcept
    {
        reset();
        m_p = p;
    }
    T* Detach() noexcept { return std::exchange(m_p, nullptr); }

    template <class U>
    HRESULT QueryInterface(REFIID iid, CComPtr<U>& out) const noexcept
    {
        if (!m_p)
            return E_POINTER;
        return m_p->QueryInterface(iid, out.put_void());
    }

private:
    T* m_p = nullptr;
};
}
