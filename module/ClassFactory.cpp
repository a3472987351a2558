#include "module/ClassFactory.h"
#include <new>
#include "module/DllModule.h"

namespace comfw
{
HRESULT CClassFactory::Create(InstanceCreator creator, IClassFactory** factory) noexcept
{
    if (!factory)
        return E_POINTER;
    *factory = new (std::nothrow) CClassFactory(creator);
    return *factory ? S_OK : E_OUTOFMEMORY;
}

HRESULT CClassFactory::QueryInterface(REFIID iid, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory))
        return E_NOINTERFACE;
    AddRef();
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
}

// The cache holds the first reference; every reference beyond it belongs to a client and keeps
// the module loaded.
ULONG CClassFactory::AddRef() noexcept
{
    LONG n = InterlockedIncrement(&m_refCount);
    if (n == 2)
        CDllModule::Get().Lock();
    return static_cast<ULONG>(n);
}

ULONG CClassFactory::Release() noexcept
{
    LONG n = InterlockedDecrement(&m_refCount);
    if (n == 1)
        CDllModule::Get().Unlock();
    else if (n == 0)
    {
        m_refCount = 1;
        delete this;
    }
    return static_cast<ULONG>(n);
}

HRESULT CClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** ppv) noexcept
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    // An aggregate must be able to hold the inner object by its non-delegating IUnknown.
    if (outer && !IsEqualIID(iid, IID_IUnknown))
        return CLASS_E_NOAGGREGATION;
    return m_creator(outer, iid, ppv);
}

HRESULT CClassFactory::LockServer(BOOL lock) noexcept
{
    if (lock)
        CDllModule::Get().Lock();
    else
        CDllModule::Get().Unlock();
    return S_OK;
}
}
