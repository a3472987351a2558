// Generated client stubs inside the structured-exception guard, against the shipped agent of
// this build's architecture run in the foreground: what each call ends with, strings that come
// back, faults from the server and from the transport, and faulted calls that give their
// connections back. Built for both architectures (the guard differs between them).
#include <winsock2.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "foundation/FileSystem.h"
#include "foundation/Handle.h"
#include "rpc/RpcGuard.h"
#include "rpc/RpcHandles.h"
#include "tests/foundation/FilesTestSupport.h"

#include "GuardProbe.h"

namespace
{
const wchar_t kArch[] = NIMBO_NATIVE_AGENT_SUFFIX;

std::wstring Parent(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\')); }

// Open TCP connections of this machine to `port`.
int ConnectionsTo(unsigned short port)
{
    ULONG size = 0;
    GetTcpTable(nullptr, &size, FALSE);
    std::vector<char> buffer(size + 4096);
    size = static_cast<ULONG>(buffer.size());
    auto* table = reinterpret_cast<MIB_TCPTABLE*>(buffer.data());
    if (GetTcpTable(table, &size, FALSE) != NO_ERROR)
        return -1;
    int count = 0;
    for (DWORD i = 0; i < table->dwNumEntries; ++i)
        if (table->table[i].dwState == MIB_TCP_STATE_ESTAB && ntohs(static_cast<u_short>(table->table[i].dwRemotePort)) == port)
            ++count;
    return count;
}

std::wstring TempFolder()
{
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    return temp;
}

// The shipped agent and its plugin, started in the foreground from a scratch folder.
class CForegroundAgent
{
public:
    CForegroundAgent()
    {
        util::CreateFolderTree(m_folder);
        wchar_t self[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        const std::wstring package = Parent(Parent(Parent(self))) + L"\\bin\\NimboGuestAgents\\";
        util::CopyFileTo(package + L"NimboGuestAgent_" + kArch + L".exe", util::JoinPath(m_folder, L"NimboGuestAgent.exe"), false);
        util::CopyFileTo(package + L"NimboVssSupport2003_" + kArch + L".dll", util::JoinPath(m_folder, L"NimboVssSupport.dll"), false);
        filestest::WriteTextFile(util::JoinPath(m_folder, L"agent.xml"),
                                 "<?xml version=\"1.0\"?><GuestAgentConfig ServiceName=\"StubTest\"><PluginsCnt>"
                                 "<Plugin Path=\"NimboVssSupport.dll\"/></PluginsCnt><PortsCfg UseDynPort=\"true\"/>"
                                 "</GuestAgentConfig>");
        const std::wstring stop = filestest::UniqueName(L"NimboStubTestStop");
        m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, stop.c_str()));
        std::wstring commandLine = L"\"" + util::JoinPath(m_folder, L"NimboGuestAgent.exe") + L"\" /console /config:\"" +
                                   util::JoinPath(m_folder, L"agent.xml") + L"\" /stopevent:" + stop;
        STARTUPINFOW startup = {sizeof startup};
        PROCESS_INFORMATION process = {};
        // Started in this process's folder: a helper the runtime starts for the agent (its
        // console, say) must not hold the scratch folder.
        EXPECT_TRUE(CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                   nullptr, &startup, &process))
            << GetLastError();
        m_process.reset(process.hProcess);
        CloseHandle(process.hThread);
        // The endpoint it registered, from its log (20 s at most).
        const std::regex registered("binding \\[(ncacn_ip_tcp:)\\[([0-9]+)\\]\\]");
        for (int polls = 0; polls < 400 && m_binding.empty(); ++polls)
        {
            std::smatch found;
            const std::string log = filestest::ReadAll(util::JoinPath(m_folder, L"NimboGuestAgent.log"));
            if (std::regex_search(log, found, registered))
                m_binding = L"ncacn_ip_tcp:127.0.0.1[" + std::wstring(found[2].first, found[2].second) + L"]";
            else
                Sleep(50);
        }
    }
    ~CForegroundAgent()
    {
        SetEvent(m_stop.get());
        if (WaitForSingleObject(m_process.get(), 20000) != WAIT_OBJECT_0)
            TerminateProcess(m_process.get(), 1);
        m_process.reset();
        // The agent's files are free a moment after its process has ended.
        try
        {
            util::RemoveFolderWithRetry(m_folder, 100, 50);
        }
        catch (CExc& e)
        {
            ADD_FAILURE() << "folder left behind: " << testing::PrintToString(e.GetFullText());
        }
    }

    const std::wstring& Binding() const { return m_binding; }
    unsigned short Port() const
    {
        return static_cast<unsigned short>(std::wcstoul(m_binding.c_str() + m_binding.find(L'[') + 1, nullptr, 10));
    }

private:
    std::wstring m_folder = util::JoinPath(TempFolder(), filestest::UniqueName(L"nimbo_stubtest"));
    util::CEventHandle m_stop;
    util::CKernelHandle m_process;
    std::wstring m_binding;
};

struct SCall
{
    RPC_BINDING_HANDLE binding;
    short state;
    wchar_t* description;
    long code;
    long value;
};

void GetState(void* c) { auto* call = static_cast<SCall*>(c); ProbeGetFreezeState(call->binding, &call->state); }
void GetError(void* c)
{
    auto* call = static_cast<SCall*>(c);
    ProbeGetLastFreezeError(call->binding, &call->description, &call->code);
}
void ShortReply(void* c) { ProbeShortReply(static_cast<SCall*>(c)->binding, &static_cast<SCall*>(c)->value); }
void Missing(void* c) { ProbeMissing(static_cast<SCall*>(c)->binding); }

class RpcStub : public testing::Test
{
protected:
    static void SetUpTestSuite() { s_agent = new CForegroundAgent; }
    static void TearDownTestSuite() { delete s_agent; }

    util::CRpcBindingHandle Bind(const std::wstring& text)
    {
        util::CRpcBindingHandle binding;
        EXPECT_EQ(RpcBindingFromStringBindingW(util::AsRpcString(text), binding.put()), RPC_S_OK) << text;
        return binding;
    }

    static CForegroundAgent* s_agent;
};

CForegroundAgent* RpcStub::s_agent = nullptr;

TEST_F(RpcStub, CallsEndAsTheServerAndTheTransportSay)
{
    ASSERT_FALSE(s_agent->Binding().empty()) << "the agent registered no endpoint";
    util::CRpcBindingHandle binding = Bind(s_agent->Binding());
    SCall call = {binding.get(), -1, reinterpret_cast<wchar_t*>(1), -1, -1};
    EXPECT_EQ(NimboRpcCallGuarded(&GetState, &call), 0u);
    EXPECT_EQ(call.state, 0);
    call.description = nullptr;
    EXPECT_EQ(NimboRpcCallGuarded(&GetError, &call), 0u);
    EXPECT_EQ(call.description, nullptr);   // no freeze has failed: no description at all
    EXPECT_EQ(call.code, 0);
    // A stub that finds the reply short faults; the binding (and its connection) still serve.
    EXPECT_EQ(NimboRpcCallGuarded(&ShortReply, &call), static_cast<unsigned long>(RPC_X_BAD_STUB_DATA));
    EXPECT_EQ(NimboRpcCallGuarded(&GetState, &call), 0u);

    util::CRpcBindingHandle other = Bind(s_agent->Binding());
    call.binding = other.get();
    EXPECT_EQ(NimboRpcCallGuarded(&Missing, &call), static_cast<unsigned long>(RPC_S_PROCNUM_OUT_OF_RANGE));
    util::CRpcBindingHandle nobody = Bind(L"ncacn_ip_tcp:127.0.0.1[1]");
    call.binding = nobody.get();
    EXPECT_EQ(NimboRpcCallGuarded(&GetState, &call), static_cast<unsigned long>(RPC_S_SERVER_UNAVAILABLE));
}

TEST_F(RpcStub, FaultedCallsGiveTheirConnectionsBack)
{
    util::CRpcBindingHandle binding = Bind(s_agent->Binding());
    SCall call = {binding.get(), -1, nullptr, -1, -1};
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(NimboRpcCallGuarded(&ShortReply, &call), static_cast<unsigned long>(RPC_X_BAD_STUB_DATA)) << i;
    // Without the buffers given back, every faulted call would keep a connection of its own.
    EXPECT_LE(ConnectionsTo(s_agent->Port()), 3);
}
}
