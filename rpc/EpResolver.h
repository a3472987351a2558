#pragma once
// Looks an RPC interface up in a guest's endpoint map and picks an ncacn_ip_tcp endpoint:
//
//   util::CEpResolver resolver(share, log);
//   std::wstring binding;                                  // e.g. ncacn_ip_tcp:10.0.0.5[49157]
//   if (resolver.ResolveByInterface(ifId, binding)) ...    // this version of the interface
//   if (resolver.ResolveByService(ifId, L"NimboRc", binding)) ...   // any version, annotated
//
// Finding nothing is not an error (false); every failure of the conversation with the endpoint
// mapper raises a CRpcExc. The inquiry authenticates with the share connection's account at
// packet privacy; when the runtime refuses that, the lookup goes on unauthenticated and says so
// in a warning. The guest is reached through the platform seam (remote/PlatformSeam.h).

#include <windows.h>
#include <rpc.h>
#include <memory>
#include <string>

#include "foundation/Log.h"

class CAdminShareConnection;

namespace util
{
class CEpResolver
{
public:
    CEpResolver(std::shared_ptr<CAdminShareConnection> share, std::shared_ptr<CLog> log);

    // The first entry of exactly this interface version with an ncacn_ip_tcp binding.
    bool ResolveByInterface(const RPC_IF_ID& ifId, std::wstring& stringBinding);
    // The first entry of any version of the interface whose annotation is `serviceName`
    // (ignoring case) and whose binding is ncacn_ip_tcp.
    bool ResolveByService(const RPC_IF_ID& ifId, const std::wstring& serviceName, std::wstring& stringBinding);

private:
    class CInquiry;

    // Runs `visit(binding text, annotation)` for each element until it returns true.
    template <class Visit>
    bool Lookup(const RPC_IF_ID& ifId, unsigned long versionOption, Visit&& visit);

    std::shared_ptr<CAdminShareConnection> m_share;
    std::shared_ptr<CLog> m_log;
};
}
