#pragma once
#include <windows.h>
#include <ocidl.h>
#include <atomic>
#include <memory>
#include <new>
#include <vector>

namespace rconsole::com
{
inline IUnknown* EnumItemUnknown(const CONNECTDATA& item) noexcept { return item.pUnk; }
inline IUnknown* EnumItemUnknown(IConnectionPoint* item) noexcept { return item; }

// An enumerator over a copy of a list taken when it was made (IEnumConnections,
// IEnumConnectionPoints). Every item holds one reference; each item handed out gets one
// more for the receiver. The owner object is kept alive (and so the module loaded) while
// any enumerator or clone of it lives.
template <class IEnum, class TItem, const IID* EnumIid>
class CSnapshotEnum final : public IEnum
{
public:
    // Takes over the references held by the items.
    static HRESULT Create(IUnknown* owner, std::vector<TItem>&& items, IEnum** result) noexcept
    {
        std::shared_ptr<CItems> list;
        try
        {
            list = std::make_shared<CItems>(std::move(items));
        }
        catch (const std::bad_alloc&)
        {
            // Nothing was moved: the allocation failed before the list was built.
            for (TItem& item : items)
                EnumItemUnknown(item)->Release();
            return E_OUTOFMEMORY;
        }
        return CreateOn(owner, std::move(list), 0, result);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, *EnumIid))
            return E_NOINTERFACE;
        *object = static_cast<IEnum*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG refs = --m_refs;
        if (refs == 0)
            delete this;
        return refs;
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG count, TItem* items, ULONG* fetched) override
    {
        if (!items || (count != 1 && !fetched))
            return E_POINTER;
        ULONG done = 0;
        while (done < count && m_position < m_list->items.size())
        {
            items[done] = m_list->items[m_position++];
            EnumItemUnknown(items[done])->AddRef();
            ++done;
        }
        if (fetched)
            *fetched = done;
        return done == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override
    {
        const size_t left = m_list->items.size() - m_position;
        if (count > left)
        {
            m_position = m_list->items.size();
            return S_FALSE;
        }
        m_position += count;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override
    {
        m_position = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(IEnum** result) override
    {
        return CreateOn(m_owner, m_list, m_position, result);
    }

private:
    struct CItems
    {
        explicit CItems(std::vector<TItem>&& from) noexcept : items(std::move(from)) {}
        ~CItems()
        {
            for (TItem& item : items)
                EnumItemUnknown(item)->Release();
        }
        std::vector<TItem> items;
    };

    static HRESULT CreateOn(IUnknown* owner, std::shared_ptr<CItems> list, size_t position,
                            IEnum** result) noexcept
    {
        if (!result)
            return E_POINTER;
        *result = nullptr;
        auto* object = new (std::nothrow) CSnapshotEnum(owner, std::move(list), position);
        if (!object)
            return E_OUTOFMEMORY;
        *result = object;
        return S_OK;
    }

    CSnapshotEnum(IUnknown* owner, std::shared_ptr<CItems> list, size_t position) noexcept
        : m_owner(owner), m_list(std::move(list)), m_position(position)
    {
        m_owner->AddRef();
    }
    ~CSnapshotEnum() { m_owner->Release(); }

    std::atomic<ULONG> m_refs{1};
    IUnknown* m_owner;
    std::shared_ptr<CItems> m_list;
    size_t m_position;
};

using CConnectionsEnum = CSnapshotEnum<IEnumConnections, CONNECTDATA, &IID_IEnumConnections>;
using CConnectionPointsEnum =
    CSnapshotEnum<IEnumConnectionPoints, IConnectionPoint*, &IID_IEnumConnectionPoints>;
}
