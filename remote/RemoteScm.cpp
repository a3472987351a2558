#include "remote/RemoteScm.h"

#include <algorithm>

#include "foundation/Convert.h"
#include "foundation/Exc.h"
#include "remote/PlatformSeam.h"

namespace remote
{
std::vector<wchar_t> MakeMultiString(const std::vector<std::wstring>& names)
{
    if (names.empty())
        return {};
    size_t total = names.size() + 2;
    for (const auto& name : names)
        total += name.size();
    std::vector<wchar_t> buffer(total, L'\0');
    auto out = buffer.begin();
    for (const auto& name : names)
        out = std::copy(name.begin(), name.end(), out) + 1;
    return buffer;
}

CRemoteScm::CRemoteScm(const std::wstring& machine, DWORD rights)
    : m_machine(machine)
{
    SC_HANDLE handle = Platform().OpenSCManagerW(machine.empty() ? nullptr : machine.c_str(),
                                                 nullptr, rights);
    if (!handle)
    {
        const DWORD code = GetLastError();
        throw CWin32Exc(L"Cannot connect to remote SCM database. Machine: [%1]. Requested rights: [%2].",
                        machine, util::ToHex(rights), code);
    }
    m_manager = std::make_shared<CScHandle>(handle);
}

CRemoteServicePtr CRemoteScm::MakeService(SC_HANDLE handle, const std::wstring& name)
{
    // The handle is owned before anything else can throw.
    auto owned = std::make_shared<CScHandle>(handle);
    auto service = std::make_shared<CRemoteService>(std::move(owned), m_manager, m_machine, name);
    service->SetPollInterval(m_pollIntervalMs);
    return service;
}

CRemoteServicePtr CRemoteScm::CreateService(const std::wstring& name,
                                            const std::wstring& displayName,
                                            const std::wstring& binaryPath,
                                            const std::vector<std::wstring>& dependencies,
                                            const std::wstring& account,
                                            const std::wstring& password, bool autoStart,
                                            DWORD desiredAccess)
{
    try
    {
        const std::vector<wchar_t> multiString = MakeMultiString(dependencies);
        const bool localSystem = account.empty();
        SC_HANDLE handle = Platform().CreateServiceW(
            m_manager->get(), name.c_str(), displayName.c_str(), desiredAccess,
            SERVICE_WIN32_OWN_PROCESS, autoStart ? SERVICE_AUTO_START : SERVICE_DEMAND_START,
            SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr,
            multiString.empty() ? nullptr : multiString.data(),
            localSystem ? nullptr : account.c_str(), localSystem ? nullptr : password.c_str());
        if (!handle)
            throw CWin32Exc(GetLastError());
        return MakeService(handle, name);
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot create service. Machine: [%1]. Service name: [%2]. Service binary path: [%3]. Service account: [%4].",
                     m_machine, name, binaryPath, account);
        throw;
    }
}

CRemoteServicePtr CRemoteScm::OpenService(const std::wstring& name, DWORD desiredAccess)
{
    try
    {
        SC_HANDLE handle = Platform().OpenServiceW(m_manager->get(), name.c_str(), desiredAccess);
        if (!handle)
            throw CWin32Exc(GetLastError());
        return MakeService(handle, name);
    }
    catch (CExc& e)
    {
        e.AddMessage(L"Cannot open service. Machine: [%1]. Service name: [%2].", m_machine, name);
        throw;
    }
}
}
