#pragma once
// The account a binding authenticates with: the platform's SEC_WINNT_AUTH_IDENTITY_W over
// strings this object owns. The runtime keeps a pointer to the structure, so the identity must
// live as long as every binding it was set on (CRpcBinding holds it).

#include <windows.h>
#include <rpc.h>
#include <memory>
#include <string>

class CAdminShareConnection;

namespace util
{
class CAuthIdentity
{
public:
    CAuthIdentity(std::wstring domain, std::wstring user, std::wstring password);
    CAuthIdentity(const CAuthIdentity&) = delete;
    CAuthIdentity& operator=(const CAuthIdentity&) = delete;

    // The share connection's account; empty when its user name is empty (the process's own
    // credentials are used then).
    static std::shared_ptr<CAuthIdentity> FromShare(const CAdminShareConnection& share);

    // What RpcBindingSetAuthInfoW takes.
    RPC_AUTH_IDENTITY_HANDLE Get() noexcept { return &m_identity; }

private:
    std::wstring m_domain;
    std::wstring m_user;
    std::wstring m_password;
    SEC_WINNT_AUTH_IDENTITY_W m_identity{};
};
}
