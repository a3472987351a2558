#pragma once
// The standard class object of a creatable class: creates instances through the class's
// instance creator and keeps the module loaded while a client holds it or has locked it.
#include <windows.h>
#include <unknwn.h>

namespace comfw
{
// Creates one instance, plain when `outer` is null, otherwise as part of the aggregate `outer`
// (or refuses with CLASS_E_NOAGGREGATION); `*ppv` is already cleared.
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** ppv);

class CClassFactory final : public IClassFactory
{
public:
    // A new class object with one reference: the cache's own, which does not lock the module.
    static HRESULT Create(InstanceCreator creator, IClassFactory** factory) noexcept;

    STDMETHODIMP QueryInterface(REFIID iid, void** ppv) noexcept override;
    STDMETHODIMP_(ULONG) AddRef() noexcept override;
    STDMETHODIMP_(ULONG) Release() noexcept override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** ppv) noexcept override;
    STDMETHODIMP LockServer(BOOL lock) noexcept override;

private:
    explicit CClassFactory(InstanceCreator creator) noexcept : m_creator(creator) {}
    ~CClassFactory() = default;

    InstanceCreator m_creator;
    LONG m_refCount = 1;
};
}
