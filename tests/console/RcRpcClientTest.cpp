// The console client against a server scripted in this program (the interface's server stub,
// routines prefixed "Scripted"): answers the real agent rarely gives.
#include <gtest/gtest.h>

#include "ScriptedRemoteConsoleRpc.h"
#include "console/RcRpcClient.h"
#include "remote/AdminShareConnection.h"
#include "rpc/RpcHandles.h"
#include "tests/foundation/FilesTestSupport.h"
#include "tests/remote/RemoteTestSupport.h"

namespace
{
// What the next procedure answers; every test sets what it needs.
struct SScript
{
    long count = 0;
    std::vector<RcAgentVersion> list;   // empty: a null array
    long state = 0, errorCode = 0, status = 0, disconnectStatus = 0;
    const wchar_t *out = nullptr, *err = nullptr, *errorText = nullptr, *lastError = nullptr;
} g_script;
int g_session;   // the one session this server hands out

wchar_t* Copy(const wchar_t* text)
{
    if (!text)
        return nullptr;
    auto* copy = static_cast<wchar_t*>(midl_user_allocate((wcslen(text) + 1) * sizeof(wchar_t)));
    return wcscpy(copy, text);
}
}

extern "C" {
LONG ScriptedRcGetAgentVersion(handle_t, RcAgentVersion* version) { return *version = {1, 0, 0, 0}, 0; }
LONG ScriptedRcGetCompatibilityList(handle_t, LONG* count, RcAgentVersion** list)
{
    *count = g_script.count;
    *list = nullptr;
    if (!g_script.list.empty())
    {
        *list = static_cast<RcAgentVersion*>(midl_user_allocate(g_script.list.size() * sizeof(RcAgentVersion)));
        std::copy(g_script.list.begin(), g_script.list.end(), *list);
    }
    return 0;
}
LONG ScriptedRcConnect(handle_t, RC_SESSION* session) { return *session = &g_session, 0; }
LONG ScriptedRcConsoleGetLastError(RC_SESSION, LONG* code, wchar_t** text) { return *code = 1, *text = Copy(g_script.lastError), 0; }
LONG ScriptedRcConsoleStart(RC_SESSION, const wchar_t*, LONG* pid) { return *pid = 7, g_script.status; }
LONG ScriptedRcConsoleSend(RC_SESSION, const wchar_t*) { return g_script.status; }
LONG ScriptedRcConsoleQueryStatus(RC_SESSION, RcConsoleStatus* s)
{
    *s = {g_script.state, Copy(g_script.out), Copy(g_script.err), g_script.errorCode, Copy(g_script.errorText)};
    return g_script.status;
}
LONG ScriptedRcDisconnect(RC_SESSION* session)
{
    if (g_script.disconnectStatus == 0)
        *session = nullptr;
    return g_script.disconnectStatus;
}
LONG ScriptedRcPreUpgradeNotify(handle_t, wchar_t*, LONG* attached) { return *attached = 0, 0; }
void __RPC_USER RC_SESSION_rundown(RC_SESSION) {}
}

namespace
{
class RcRpcClient : public testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(RpcServerUseProtseqW(util::AsRpcString(L"ncacn_ip_tcp"), RPC_C_PROTSEQ_MAX_REQS_DEFAULT, nullptr), RPC_S_OK);
        ASSERT_EQ(RpcServerRegisterIfEx(ScriptedRemoteConsoleRpc_v1_0_s_ifspec, nullptr, nullptr, RPC_IF_AUTOLISTEN,
                                        RPC_C_LISTEN_MAX_CALLS_DEFAULT, nullptr), RPC_S_OK);
        RPC_BINDING_VECTOR* vector = nullptr;
        ASSERT_EQ(RpcServerInqBindings(&vector), RPC_S_OK);
        util::CRpcString text;
        RpcBindingToStringBindingW(vector->BindingH[0], text.put());
        const std::wstring bound = util::ToText(text);   // "ncacn_ip_tcp:[port]"
        s_binding = L"ncacn_ip_tcp:127.0.0.1" + bound.substr(bound.find(L'['));
        RpcBindingVectorFree(&vector);
    }
    void SetUp() override
    {
        g_script = SScript();
        remote_test::UseGuests("[guest scripted]\naccount = admin | pw\n");
        m_client = std::make_unique<rconsole::CRcRpcClient>(
            s_binding, std::make_shared<CAdminShareConnection>(L"\\\\scripted\\ADMIN$", L"admin", L"pw", std::make_shared<util::CLog>()),
            std::make_shared<util::CLog>());
    }

    static std::wstring s_binding;
    std::unique_ptr<rconsole::CRcRpcClient> m_client;
};
std::wstring RcRpcClient::s_binding;

// A count without an array, and repeats in the array.
TEST_F(RcRpcClient, CompatibilityListAndStatusRecordInEveryShape)
{
    g_script.count = 2;
    EXPECT_TRUE(m_client->GetCompatibilityList().empty());
    g_script.list = {{2, 0, 0, 0}, {1, 5, 0, 0}, {2, 0, 0, 0}};
    g_script.count = 3;
    EXPECT_EQ(m_client->GetCompatibilityList(), (rconsole::CRcCompatibilitySet{{1, 5, 0, 0}, {2, 0, 0, 0}}));

    rconsole::SRcConsoleStatus status;
    g_script.state = 1, g_script.out = L"out", g_script.err = L"err";
    m_client->QueryStatus(status);
    EXPECT_TRUE(status.stopped && status.outText == L"out" && status.errText == L"err" && !status.error);
    g_script = SScript();
    g_script.state = 2, g_script.errorCode = static_cast<long>(0x80070005);
    m_client->QueryStatus(status);
    EXPECT_TRUE(!status.stopped && status.outText.empty() && status.errText.empty());
    ASSERT_TRUE(status.error);
    EXPECT_EQ(status.error->GetHResult(), static_cast<HRESULT>(0x80070005));
    EXPECT_EQ(filestest::Sentences(*status.error), std::vector<std::wstring>{L""});   // no text came
}

TEST_F(RcRpcClient, RefusedProcedureCarriesTheSessionsDescriptionWhenItHasOne)
{
    g_script.status = static_cast<long>(0x8000000E);
    for (const wchar_t* description : {L"No console yet.", static_cast<const wchar_t*>(nullptr)})
    {
        g_script.lastError = description;
        CExc e = filestest::Raised([&] { m_client->SendData(L"dir"); });
        std::vector<std::wstring> sentences = filestest::Sentences(e);
        EXPECT_EQ(e.GetHResult(), static_cast<HRESULT>(0x8000000E));
        ASSERT_EQ(sentences.size(), description ? 3u : 2u);
        EXPECT_EQ(sentences[0], MsgText(232, L"scripted", L"dir"));
        if (description)
        {
            EXPECT_EQ(sentences[1], description);
        }
        EXPECT_EQ(sentences.back().rfind(L"COM error:", 0), 0u) << sentences.back();
    }
}

// The client goes away quietly when the server keeps the session open.
TEST_F(RcRpcClient, RefusedCloseLeavesNothingBehind)
{
    g_script.disconnectStatus = 5;
    EXPECT_NO_THROW(m_client.reset());
    SetUp();
    EXPECT_EQ(m_client->StartConsole(L""), 7);
}
}
