// The shipped freeze backend: the guest's volume shadow copy service, driven as a backup
// requestor. Freezing takes an application-consistent shadow copy of every local fixed volume
// (the writers flush and hold their data while it is made); the backup stays open until the
// unfreeze completes it and deletes the shadow copies.
//
// The requestor library is loaded when a freeze starts, so the plugin loads on every Windows
// version (and under runtimes without the service, where the freeze fails with the platform's
// own error).
#include "agents/FreezeBackends.h"

#include <windows.h>
#include <vss.h>
#include <vsbackup.h>
#include <vsserror.h>

#include <vector>

#include "foundation/Handle.h"

namespace agent
{
namespace
{
using CModule = util::CUniqueAny<HMODULE, &::FreeLibrary>;
typedef HRESULT(STDAPICALLTYPE* PFN_CREATE_COMPONENTS)(IVssBackupComponents**);

// The exported creator: its plain name on Vista and later, the decorated C++ name before.
const char* const kCreators[] = {
    "CreateVssBackupComponentsInternal",
#ifdef _WIN64
    "?CreateVssBackupComponents@@YAJPEAPEAVIVssBackupComponents@@@Z",
#else
    "?CreateVssBackupComponents@@YGJPAPAVIVssBackupComponents@@@Z",
#endif
};

void Check(HRESULT hr, const wchar_t* step)
{
    if (FAILED(hr))
        throw SFreezeFailure{hr, step};
}

// Waits for an asynchronous step of the service and checks how it ended.
void Await(HRESULT started, IVssAsync* async, const wchar_t* step)
{
    Check(started, step);
    HRESULT hr = async->Wait(INFINITE);
    HRESULT result = S_OK;
    if (SUCCEEDED(hr))
        hr = async->QueryStatus(&result, nullptr);
    async->Release();
    Check(hr, step);
    if (result != VSS_S_ASYNC_FINISHED)
        Check(FAILED(result) ? result : VSS_E_UNEXPECTED, step);
}

// Root paths ("C:\") of the local fixed volumes the service can copy.
std::vector<std::wstring> FixedVolumes(IVssBackupComponents* components)
{
    std::vector<std::wstring> volumes;
    wchar_t drives[512] = {};
    const DWORD length = GetLogicalDriveStringsW(511, drives);
    for (const wchar_t* root = drives; length > 0 && length < 512 && *root; root += wcslen(root) + 1)
    {
        BOOL supported = FALSE;
        if (GetDriveTypeW(root) == DRIVE_FIXED &&
            SUCCEEDED(components->IsVolumeSupported(GUID_NULL, const_cast<wchar_t*>(root), &supported)) &&
            supported)
            volumes.emplace_back(root);
    }
    return volumes;
}

class CShadowCopyBackend : public IFreezeBackend
{
public:
    void Freeze() override
    {
        m_library.reset(LoadLibraryW(L"vssapi.dll"));
        if (!m_library)
            throw SFreezeFailure{HRESULT_FROM_WIN32(GetLastError()),
                                 L"The volume shadow copy library vssapi.dll cannot be loaded."};
        PFN_CREATE_COMPONENTS create = nullptr;
        for (const char* name : kCreators)
            if (!create)
                create = reinterpret_cast<PFN_CREATE_COMPONENTS>(
                    reinterpret_cast<void*>(GetProcAddress(m_library.get(), name)));
        if (!create)
            throw SFreezeFailure{HRESULT_FROM_WIN32(GetLastError()),
                                 L"vssapi.dll does not offer the backup requestor (CreateVssBackupComponents)."};

        Check(create(&m_components), L"The backup requestor of the volume shadow copy service cannot be created.");
        Check(m_components->InitializeForBackup(nullptr), L"The backup requestor cannot be initialised.");
        Check(m_components->SetContext(VSS_CTX_BACKUP), L"The shadow copy context cannot be set.");
        Check(m_components->SetBackupState(false, true, VSS_BT_COPY, false), L"The backup state cannot be set.");
        IVssAsync* async = nullptr;
        Await(m_components->GatherWriterMetadata(&async), async, L"The writers' metadata cannot be gathered.");
        Check(m_components->StartSnapshotSet(&m_set), L"The shadow copy set cannot be started.");
        const std::vector<std::wstring> volumes = FixedVolumes(m_components);
        if (volumes.empty())
            throw SFreezeFailure{VSS_E_VOLUME_NOT_SUPPORTED, L"The guest has no volume the shadow copy service can copy."};
        for (const std::wstring& volume : volumes)
        {
            VSS_ID id = GUID_NULL;
            Check(m_components->AddToSnapshotSet(const_cast<wchar_t*>(volume.c_str()), GUID_NULL, &id),
                  L"A volume cannot be added to the shadow copy set.");
        }
        Await(m_components->PrepareForBackup(&async), async, L"The writers cannot prepare for the backup.");
        Await(m_components->DoSnapshotSet(&async), async, L"The shadow copy set cannot be made.");
        m_made = true;
    }

    void Thaw() noexcept override
    {
        if (m_components)
        {
            if (m_made)
            {
                IVssAsync* async = nullptr;
                if (SUCCEEDED(m_components->BackupComplete(&async)) && async)
                {
                    async->Wait(INFINITE);
                    async->Release();
                }
                LONG deleted = 0;
                VSS_ID failed = GUID_NULL;
                m_components->DeleteSnapshots(m_set, VSS_OBJECT_SNAPSHOT_SET, TRUE, &deleted, &failed);
            }
            else
            {
                m_components->AbortBackup();
            }
            m_components->Release();
            m_components = nullptr;
        }
        m_made = false;
        m_library.reset();
    }

private:
    CModule m_library;
    IVssBackupComponents* m_components = nullptr;
    VSS_ID m_set = GUID_NULL;
    bool m_made = false;
};

#ifdef NIMBO_VSS_XP
// Windows XP's requestor interface is laid out differently from later versions; this build
// does not drive it, and says so instead of calling through the wrong table.
class CUnsupportedBackend : public IFreezeBackend
{
public:
    void Freeze() override
    {
        throw SFreezeFailure{E_NOTIMPL,
                             L"This plugin build cannot drive the volume shadow copy service of Windows XP."};
    }
    void Thaw() noexcept override {}
};
#endif
}

std::unique_ptr<IFreezeBackend> CreateShadowCopyBackend()
{
#ifdef NIMBO_VSS_XP
    return std::make_unique<CUnsupportedBackend>();
#else
    return std::make_unique<CShadowCopyBackend>();
#endif
}
}
