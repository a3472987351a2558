#pragma once
// The service control manager of a guest (or of this machine when the name is empty).
//
//   remote::CRemoteScm scm(host, SC_MANAGER_ALL_ACCESS);
//   auto service = scm.CreateService(name, display, path, {}, L"", L"", true, SERVICE_ALL_ACCESS);
//   service->Start(30);
//
// Every failure is a CWin32Exc whose sentences name the machine and the service.

#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "remote/RemoteService.h"
#include "remote/ScHandle.h"

namespace remote
{
class CRemoteScm
{
public:
    CRemoteScm(const std::wstring& machine, DWORD rights);

    // Registers an own-process service. An empty account means LocalSystem (no account and
    // no password are passed); an empty dependency list passes no dependencies.
    CRemoteServicePtr CreateService(const std::wstring& name, const std::wstring& displayName,
                                    const std::wstring& binaryPath,
                                    const std::vector<std::wstring>& dependencies,
                                    const std::wstring& account, const std::wstring& password,
                                    bool autoStart, DWORD desiredAccess);
    CRemoteServicePtr OpenService(const std::wstring& name, DWORD desiredAccess);

    const std::wstring& GetMachine() const noexcept { return m_machine; }

    // The poll interval that services created or opened from here start with.
    void SetPollInterval(DWORD milliseconds) noexcept { m_pollIntervalMs = milliseconds; }

private:
    CRemoteServicePtr MakeService(SC_HANDLE handle, const std::wstring& name);

    std::wstring m_machine;
    CScHandlePtr m_manager;
    DWORD m_pollIntervalMs = kDefaultServicePollIntervalMs;
};

// The dependency list as the service control manager takes it: every name followed by its
// zero, and one more zero at the end. Empty for an empty list.
std::vector<wchar_t> MakeMultiString(const std::vector<std::wstring>& names);
}
