#pragma once
// The client of the VSS support plugin's RPC interface (vss/VssPluginRpc.idl): one command
// class per remote procedure, run by the framework's Call (rpc/RpcClient.h), which finds the
// agent in the guest's endpoint map and turns failures into CRpcExc with message 124.
//
//   vss::CVssPluginRpcClient client(share, log);    // no traffic yet
//   client.Freeze();
//   long state = client.GetFreezeState();           // the guest's value, unchecked
//   std::wstring text; long hr = client.GetLastFreezeError(text);

#include <windows.h>
#include <memory>
#include <string>

#include "rpc/RpcClient.h"

namespace vss
{
class CVssPluginRpcClient : public util::CRpcClient
{
public:
    CVssPluginRpcClient(std::shared_ptr<CAdminShareConnection> share, std::shared_ptr<util::CLog> log);

    void Freeze();
    long GetFreezeState();
    // The guest's last freeze error; a null description from the guest gives "".
    long GetLastFreezeError(std::wstring& description);
    void Unfreeze();
    void DoTest();

    class CFreezeRPCMethod;
    class CGetFreezeStateRPCMethod;
    class CGetLastFreezeErrorRPCMethod;
    class CUnfreezeRPCMethod;
    class CDoTestRPCMethod;

    // The interface identity the client looks the agent up by.
    static RPC_IF_ID InterfaceId();
};
}
