#pragma once
// The COM object framework of the library: a class lists its interfaces once and gets
// QueryInterface, reference counting, a dispatch implementation driven by the type library and
// ISupportErrorInfo from the same list.
//
// Usage:
//
//   class CCoThing : public comfw::CComObjectRoot<comfw::CSingleThreadModel,  // or CMultiThreadModel
//                                                 INimboThing,                // dual: IDispatch, error info
//                                                 ISupportErrorInfo,          // optional
//                                                 INimboOther>                // any other interface
//   {
//   public:
//       explicit CCoThing(std::shared_ptr<CLog> log);   // constructor arguments are free
//       HRESULT FinalConstruct();                        // optional; a failure destroys the object
//
//       STDMETHODIMP Method(BSTR text) override
//       {
//           if (!text) return util::ArgumentError(E_INVALIDARG);  // no error information
//           return util::ComBoundary(&CLSID_Class_or_nullptr, __uuidof(INimboThing), [&] { ... });
//       }
//   };
//
//   // Creation, e.g. from a creation function or a parent object:
//   comfw::CComObject<CCoThing>* thing = nullptr;
//   HRESULT hr = comfw::CreateObject(&thing, log);       // thing holds one reference
//   ... set fields through `thing` ...
//   hr = thing->QueryInterface(iid, ppv); thing->Release();
//   // or in one go: comfw::CreateInstance<CCoThing>(iid, ppv, log);
//   // a child handed out as an interface: comfw::MakeObject<INimboThing, CCoThing>([&](CCoThing& t) { ... });
//   // aggregatable classes: comfw::CreateAggregatable<CCoThing>(outer, iid, ppv, args...);
//
// Rules:
// - Do not list IUnknown or IDispatch: IUnknown is the first listed interface, IDispatch is the
//   first listed interface derived from IDispatch (its type information drives
//   GetIDsOfNames/Invoke/GetTypeInfo).
// - ISupportErrorInfo answers S_OK for every listed interface derived from IDispatch and
//   S_FALSE for everything else.
// - The implementing class stays abstract (IUnknown comes from CComObject / CComAggObject); never
//   `new` it directly. Every live object holds one module lock.
#include <windows.h>
#include <oaidl.h>
#include <new>
#include <type_traits>
#include <utility>
#include "foundation/ComTypes.h"
#include "foundation/Exc.h"
#include "module/DllModule.h"
#include "module/TypeInfoCache.h"

namespace comfw
{
// Reference counts of objects used from one apartment only.
struct CSingleThreadModel
{
    using Count = ULONG;
    static ULONG Increment(Count& c) noexcept { return ++c; }
    static ULONG Decrement(Count& c) noexcept { return --c; }
};

// Reference counts of objects called from any thread.
struct CMultiThreadModel
{
    using Count = LONG;
    static ULONG Increment(Count& c) noexcept { return static_cast<ULONG>(InterlockedIncrement(&c)); }
    static ULONG Decrement(Count& c) noexcept { return static_cast<ULONG>(InterlockedDecrement(&c)); }
};

namespace detail
{
template <class I>
constexpr bool kIsDual = std::is_base_of<IDispatch, I>::value && !std::is_same<I, IDispatch>::value;

template <class... I>
struct FirstDual
{
    using type = void;
};

template <class H, class... T>
struct FirstDual<H, T...>
{
    using type = std::conditional_t<kIsDual<H>, H, typename FirstDual<T...>::type>;
};

template <class H, class... T>
struct First
{
    using type = H;
};
}

template <class ThreadModel, class... Interfaces>
class CComObjectRoot : public Interfaces...
{
    static_assert(sizeof...(Interfaces) > 0, "list at least one interface");
    static_assert((!std::is_same<Interfaces, IUnknown>::value && ...), "IUnknown is implied");
    static_assert((!std::is_same<Interfaces, IDispatch>::value && ...), "IDispatch is implied by a dual interface");

    using FirstInterface = typename detail::First<Interfaces...>::type;
    using DualInterface = typename detail::FirstDual<Interfaces...>::type;
    static constexpr bool kHasDispatch = !std::is_void<DualInterface>::value;

public:
    CComObjectRoot() = default;
    virtual ~CComObjectRoot() = default;
    CComObjectRoot(const CComObjectRoot&) = delete;
    CComObjectRoot& operator=(const CComObjectRoot&) = delete;

    // Runs once after construction, before the first interface is handed out.
    HRESULT FinalConstruct() noexcept { return S_OK; }

    // The object's own identity (the IUnknown of the listed interfaces, not of an aggregate).
    IUnknown* GetRawUnknown() noexcept { return static_cast<IUnknown*>(static_cast<FirstInterface*>(this)); }

    // The interface table walk, shared by the plain, the aggregated and the contained forms.
    // The reference is added through the found interface, i.e. through whatever IUnknown the
    // final object implements.
    HRESULT InternalQueryInterface(REFIID iid, void** ppv) noexcept
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        IUnknown* found = nullptr;
        if (IsEqualIID(iid, IID_IUnknown))
            found = GetRawUnknown();
        else if (kHasDispatch && IsEqualIID(iid, IID_IDispatch))
            found = DispatchUnknown();
        else
            (void)((found = Match<Interfaces>(iid)) || ...);
        if (!found)
            return E_NOINTERFACE;
        found->AddRef();
        *ppv = found;
        return S_OK;
    }

    ULONG InternalAddRef() noexcept { return ThreadModel::Increment(m_refCount); }
    ULONG InternalRelease() noexcept { return ThreadModel::Decrement(m_refCount); }

    // Called on the way to delete: a destructor that takes and drops a reference of its own
    // must not see the count reach zero a second time.
    void SetSafeCountForDelete() noexcept { m_refCount = 1; }

    // ISupportErrorInfo (overrides only when the class lists it).
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID iid) noexcept
    {
        bool listed = ((detail::kIsDual<Interfaces> && IsEqualIID(iid, __uuidof(Interfaces))) || ...);
        return listed ? S_OK : S_FALSE;
    }

    // IDispatch through the type information of the first dual interface (overrides only when
    // the class lists a dual interface).
    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept
    {
        if (!count)
            return E_POINTER;
        *count = kHasDispatch ? 1 : 0;
        return S_OK;
    }

    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) noexcept
    {
        if (!typeInfo)
            return E_POINTER;
        *typeInfo = nullptr;
        if (!kHasDispatch || index != 0)
            return DISP_E_BADINDEX;
        return CTypeInfoCache::Get(DualIid(), typeInfo);
    }

    STDMETHODIMP GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* dispIds) noexcept
    {
        if (!IsEqualIID(iid, IID_NULL))
            return DISP_E_UNKNOWNINTERFACE;
        ITypeInfo* info = nullptr;
        HRESULT hr = CTypeInfoCache::Get(DualIid(), &info);
        if (FAILED(hr))
            return hr;
        hr = info->GetIDsOfNames(names, count, dispIds);
        info->Release();
        return hr;
    }

    STDMETHODIMP Invoke(DISPID dispId, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepInfo, UINT* argErr) noexcept
    {
        if (!IsEqualIID(iid, IID_NULL))
            return DISP_E_UNKNOWNINTERFACE;
        ITypeInfo* info = nullptr;
        HRESULT hr = CTypeInfoCache::Get(DualIid(), &info);
        if (FAILED(hr))
            return hr;
        hr = info->Invoke(DispatchUnknown(), dispId, flags, params, result, excepInfo, argErr);
        info->Release();
        return hr;
    }

private:
    template <class I>
    IUnknown* Match(REFIID iid) noexcept
    {
        return IsEqualIID(iid, __uuidof(I)) ? static_cast<IUnknown*>(static_cast<I*>(this)) : nullptr;
    }

    IUnknown* DispatchUnknown() noexcept
    {
        if constexpr (kHasDispatch)
            return static_cast<DualInterface*>(this);
        else
            return nullptr;
    }

    static const IID& DualIid() noexcept
    {
        if constexpr (kHasDispatch)
            return __uuidof(DualInterface);
        else
            return IID_NULL;
    }

    typename ThreadModel::Count m_refCount = 0;
};

// A plain (non-aggregated) object: the class's own IUnknown.
template <class T>
class CComObject final : public T
{
public:
    template <class... Args>
    explicit CComObject(Args&&... args) : T(std::forward<Args>(args)...)
    {
        CDllModule::Get().Lock();
    }
    ~CComObject() override { CDllModule::Get().Unlock(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) noexcept override { return this->InternalQueryInterface(iid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return this->InternalAddRef(); }
    STDMETHODIMP_(ULONG) Release() noexcept override
    {
        ULONG n = this->InternalRelease();
        if (n == 0)
        {
            this->SetSafeCountForDelete();
            delete this;
        }
        return n;
    }
};

// The class as part of an aggregate: every IUnknown call goes to the outer object.
template <class T>
class CComContainedObject final : public T
{
public:
    template <class... Args>
    explicit CComContainedObject(IUnknown* outer, Args&&... args) : T(std::forward<Args>(args)...), m_outer(outer)
    {
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) noexcept override { return m_outer->QueryInterface(iid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return m_outer->AddRef(); }
    STDMETHODIMP_(ULONG) Release() noexcept override { return m_outer->Release(); }

private:
    IUnknown* m_outer;  // not counted: the outer object owns us
};

// The inner, non-delegating IUnknown that an aggregating object holds. Its QueryInterface hands
// out the contained object's interfaces, whose IUnknown methods delegate to the outer object.
template <class T>
class CComAggObject final : public IUnknown
{
public:
    template <class... Args>
    explicit CComAggObject(IUnknown* outer, Args&&... args) : m_contained(outer, std::forward<Args>(args)...)
    {
        CDllModule::Get().Lock();
    }
    virtual ~CComAggObject() { CDllModule::Get().Unlock(); }

    CComAggObject(const CComAggObject&) = delete;
    CComAggObject& operator=(const CComAggObject&) = delete;

    T& Object() noexcept { return m_contained; }
    HRESULT FinalConstruct() noexcept { return m_contained.FinalConstruct(); }

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) noexcept override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(iid, IID_IUnknown))
        {
            AddRef();
            *ppv = static_cast<IUnknown*>(this);
            return S_OK;
        }
        return m_contained.InternalQueryInterface(iid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() noexcept override { return static_cast<ULONG>(InterlockedIncrement(&m_refCount)); }
    STDMETHODIMP_(ULONG) Release() noexcept override
    {
        ULONG n = static_cast<ULONG>(InterlockedDecrement(&m_refCount));
        if (n == 0)
        {
            m_refCount = 1;
            delete this;
        }
        return n;
    }

private:
    LONG m_refCount = 0;
    CComContainedObject<T> m_contained;
};

// The creation helpers return E_OUTOFMEMORY when the object cannot be allocated; an exception
// from T's constructor (std::bad_alloc of a member) passes to the caller, who runs inside its
// own COM boundary.
//
// Creates a plain object of class T; on success *object holds one reference (drop it with
// (*object)->Release()). A failing FinalConstruct destroys the object and is returned.
template <class T, class... Args>
HRESULT CreateObject(CComObject<T>** object, Args&&... args)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    auto* created = new (std::nothrow) CComObject<T>(std::forward<Args>(args)...);
    if (!created)
        return E_OUTOFMEMORY;
    created->AddRef();
    HRESULT hr = created->FinalConstruct();
    if (FAILED(hr))
    {
        created->Release();
        return hr;
    }
    *object = created;
    return S_OK;
}

// Creates a plain object of class T, lets `fill` set its fields, and hands it out as interface I
// with the one reference it was made with: how a parent makes the child objects it hands out.
// A failure raises a CComExc with the creation's HRESULT.
template <class I, class T, class Fill>
util::CComPtr<I> MakeObject(Fill&& fill)
{
    CComObject<T>* object = nullptr;
    const HRESULT hr = CreateObject(&object);
    if (FAILED(hr))
        throw CComExc(hr);
    util::CComPtr<I> result;
    result.Attach(object);   // owns the reference from here on, also when `fill` throws
    fill(static_cast<T&>(*object));
    return result;
}

// Creates a plain object of class T and queries it for `iid`.
template <class T, class... Args>
HRESULT CreateInstance(REFIID iid, void** ppv, Args&&... args)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    CComObject<T>* object = nullptr;
    HRESULT hr = CreateObject(&object, std::forward<Args>(args)...);
    if (FAILED(hr))
        return hr;
    hr = object->QueryInterface(iid, ppv);
    object->Release();
    return hr;
}

// Creates T plainly when `outer` is null, otherwise as the inner part of the aggregate `outer`;
// an aggregate may ask only for IUnknown.
template <class T, class... Args>
HRESULT CreateAggregatable(IUnknown* outer, REFIID iid, void** ppv, Args&&... args)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!outer)
        return CreateInstance<T>(iid, ppv, std::forward<Args>(args)...);
    if (!IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    auto* created = new (std::nothrow) CComAggObject<T>(outer, std::forward<Args>(args)...);
    if (!created)
        return E_OUTOFMEMORY;
    created->AddRef();
    HRESULT hr = created->FinalConstruct();
    if (SUCCEEDED(hr))
        hr = created->QueryInterface(iid, ppv);
    created->Release();
    return hr;
}
}
