// Benchmark (not a test): the control path against the physical limit. Installs the VSS agent
// on a simulated guest (the agent runs on this machine), then times N calls of GetFreezeState
// made two ways against the same running agent:
//   - through the COM object, as an early-bound C++ client calls it (INimboVssGACtrl's
//     FreezeState: error conversion, slot, RPC client and its lock, command object);
//   - through the bare generated client stub on a plain binding to the same endpoint (inside
//     the structured-exception guard, which any caller of a stub needs).
// Prints the median and mean of each and the ratio of the medians (COM / bare).
//
//   FreezeStateBenchmark.exe <package folder> <work folder> [N]
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <memory>

#include "NimboGuestAgentCtrl.h"
#include "VssPluginRpc.h"
#include "deploy/Installer.h"
#include "foundation/ComTypes.h"
#include "foundation/Exc.h"
#include "module/ClassMap.h"
#include "remote/AdminShareConnection.h"
#include "rpc/EpResolver.h"
#include "rpc/RpcGuard.h"
#include "rpc/RpcHandles.h"
#include "bench/BenchSupport.h"
#include "vss/VssInstallPolicy.h"
#include "vss/VssPluginRpcClient.h"

namespace
{
using namespace bench;

struct SBareCall
{
    RPC_BINDING_HANDLE binding;
    EVssPluginFreezeState state;
};

void CallGetFreezeState(void* context)
{
    auto* call = static_cast<SBareCall*>(context);
    GetFreezeState(call->binding, &call->state);
}

void Check(HRESULT hr, const wchar_t* what)
{
    if (FAILED(hr))
        throw CComExc(std::wstring(what) + L" failed.", hr);
}

int Run(const std::wstring& package, const std::wstring& work, int rounds)
{
    const std::wstring share = util::JoinPath(work, L"guest-admin");
    util::CreateFolderTree(share);
    WriteGuests(work, share);

    // The agent, installed and started as a backup application would.
    auto log = std::make_shared<util::CLog>();  // no writer: nothing is written
    auto connection =
        std::make_shared<CAdminShareConnection>(std::wstring(L"\\\\") + kHost + L"\\ADMIN$", kLogin, kPassword, log);
    install::CInstaller installer(connection, std::make_shared<vss::CVssSpecificInstall>(), log);
    installer.SetPackageFolder(package);
    installer.SetServicePollInterval(20);
    installer.CollectGuestMetrics();
    installer.Install();

    // The COM path: the connection object and its control object, called through the vtable.
    util::CComPtr<INimboGAConnection> com;
    Check(vss::CreateNimboVssGAConnection(nullptr, IID_INimboGAConnection, reinterpret_cast<void**>(com.put())),
          L"Creating the connection object");
    Check(com->Connect(util::CBstr(kHost).get(), util::CBstr(kLogin).get(), util::CBstr(kPassword).get()), L"Connect");
    util::CComPtr<IDispatch> dispatch;
    Check(com->get_Ctrl(dispatch.put()), L"Ctrl");
    util::CComPtr<INimboVssGACtrl> ctrl;
    Check(dispatch.QueryInterface(IID_INimboVssGACtrl, ctrl), L"QueryInterface");

    // The bare path: a binding to the endpoint the agent registered.
    std::wstring endpoint;
    if (!util::CEpResolver(connection, log).ResolveByInterface(vss::CVssPluginRpcClient::InterfaceId(), endpoint))
        throw CExc(L"The agent is not in the guest's endpoint map.", E_FAIL);
    util::CRpcBindingHandle binding;
    if (const RPC_STATUS status = RpcBindingFromStringBindingW(util::AsRpcString(endpoint), binding.put()))
        throw CRpcExc(status);

    SSeries viaCom{"COM FreezeState", {}}, bare{"bare stub", {}};
    const auto timeCom = [&] {
        ENimboVssFreezeState state = ENimboVssFreezeNone;
        const double start = Now();
        Check(ctrl->get_FreezeState(&state), L"FreezeState");
        viaCom.ms.push_back(Now() - start);
    };
    const auto timeBare = [&] {
        SBareCall call = {binding.get(), VssPluginFreezeNone};
        const double start = Now();
        if (const unsigned long status = NimboRpcCallGuarded(&CallGetFreezeState, &call))
            throw CRpcExc(static_cast<RPC_STATUS>(status));
        bare.ms.push_back(Now() - start);
    };
    // Warm-up (connections, caches), then the rounds, alternating which path goes first.
    for (int i = 0; i < 50; ++i)
    {
        timeCom();
        timeBare();
    }
    viaCom.ms.clear();
    bare.ms.clear();
    for (int i = 0; i < rounds; ++i)
    {
        if (i % 2)
        {
            timeCom();
            timeBare();
        }
        else
        {
            timeBare();
            timeCom();
        }
    }

    std::printf("%d calls of GetFreezeState each to the agent at %ls\n", rounds, endpoint.c_str());
    std::printf("%-16s %10s %10s\n", "path", "median ms", "mean ms");
    for (const SSeries* s : {&viaCom, &bare})
        std::printf("%-16s %10.3f %10.3f\n", s->name, s->Median(), s->Mean());
    std::printf("COM / bare stub (medians): %.3f\n", viaCom.Median() / std::max(bare.Median(), 0.000001));

    ctrl.reset();
    dispatch.reset();
    com->Disconnect();
    com.reset();
    installer.Uninstall();
    return 0;
}
}

int wmain(int argc, wchar_t** argv)
{
    return bench::Main(argc, argv, "FreezeStateBenchmark", 1000, Run);
}
