// The RPC client framework over real RPC: the authentication-service fallback against a
// server that refuses authenticated binds, the one rebind on a stale binding against the
// real agent, and faulted calls that give their connections back.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

#include "rpc/RpcClient.h"
#include "tests/vss/VssAgentGuest.h"
#include "vss/VssPluginRpcClient.h"

#include "VssPluginRpc.h"

namespace
{
using remote_test::CLineRecorder;

// A DCE/RPC server on the loopback address that answers the first `refusals` binds with a
// bind_nak (reason 8: authentication type not recognised, which a client sees as 1747) and
// then serves GetFreezeState with the state 3.
class CRefusingServer
{
public:
    explicit CRefusingServer(int refusals) : m_refusals(refusals)
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
        m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof address;
        bind(m_listener, reinterpret_cast<sockaddr*>(&address), length);
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        listen(m_listener, 8);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CRefusingServer()
    {
        closesocket(m_listener);   // ends the accept loop
        m_thread.join();
        WSACleanup();
    }

    unsigned short Port() const { return m_port; }
    int Binds() const { return m_binds; }

private:
    static bool ReadAll(SOCKET s, char* buffer, int length)
    {
        for (int got = 0, n = 0; got < length; got += n)
            if ((n = recv(s, buffer + got, length - got, 0)) <= 0)
                return false;
        return true;
    }

    static void Send(SOCKET s, unsigned char type, unsigned callId, std::string body)
    {
        std::string pdu = {5, 0, static_cast<char>(type), 3, 0x10, 0, 0, 0};
        const size_t length = 16 + body.size();
        pdu += {static_cast<char>(length & 0xFF), static_cast<char>(length >> 8), 0, 0};
        pdu.append(reinterpret_cast<const char*>(&callId), 4);
        pdu += body;
        send(s, pdu.data(), static_cast<int>(pdu.size()), 0);
    }

    void Serve()
    {
        for (;;)
        {
            SOCKET s = accept(m_listener, nullptr, nullptr);
            if (s == INVALID_SOCKET)
                return;
            char header[16];
            while (ReadAll(s, header, 16))
            {
                const unsigned short length = static_cast<unsigned char>(header[8]) | (static_cast<unsigned char>(header[9]) << 8);
                std::string body(length - 16, '\0');
                unsigned callId = 0;
                memcpy(&callId, header + 12, 4);
                if (!ReadAll(s, &body[0], static_cast<int>(body.size())))
                    break;
                if (header[2] == 11)   // bind
                {
                    ++m_binds;
                    if (m_refusals-- > 0)
                    {
                        Send(s, 13, callId, std::string("\x08\x00\x01\x05\x00", 5));
                        break;
                    }
                    static const char kNdr[] = "\x04\x5d\x88\x8a\xeb\x1c\xc9\x11\x9f\xe8\x08\x00\x2b\x10\x48\x60\x02\x00\x00\x00";
                    std::string ack("\xb8\x10\xb8\x10\x34\x12\x00\x00\x05\x00" "4999\0" "\0", 16);
                    ack += std::string("\x01\x00\x00\x00\x00\x00\x00\x00", 8) + std::string(kNdr, 20);
                    Send(s, 12, callId, ack);
                }
                else if (header[2] == 0)   // request: every answer is a GetFreezeState response
                {
                    Send(s, 2, callId, std::string("\x02\x00\x00\x00\x00\x00\x00\x00\x03\x00", 10));
                }
            }
            closesocket(s);
        }
    }

    SOCKET m_listener = INVALID_SOCKET;
    unsigned short m_port = 0;
    std::atomic<int> m_refusals;
    std::atomic<int> m_binds{0};
    std::thread m_thread;
};

struct SRefusal
{
    int refusals;
    unsigned long service;   // the service of the binding that worked; 0: the call fails
};

class RpcClientAuthn : public testing::TestWithParam<SRefusal>
{
};

TEST_P(RpcClientAuthn, TriesNegotiateKerberosThenNtlmOnNewBindings)
{
    CRefusingServer server(GetParam().refusals);
    remote_test::UseGuests("[guest authguest]\naccount = VSSLAB\\backup | Fr33ze-Pa55\nendpoint = "
                           "{FA8573FC-2445-4EF5-82F1-30E34E7A07C7} | 1.0 | ncacn_ip_tcp:127.0.0.1[" +
                           std::to_string(server.Port()) + "] | NimboVssSupport\n");
    auto log = std::make_shared<util::CLog>();
    vss::CVssPluginRpcClient client(std::make_shared<CAdminShareConnection>(L"\\\\authguest\\ADMIN$", vsstest::kLogin,
                                                                            vsstest::kPassword, log),
                                    log);
    if (GetParam().service)
    {
        EXPECT_EQ(client.GetFreezeState(), 3);
        EXPECT_EQ(client.GetAuthnService(), GetParam().service);
    }
    else
    {
        EXPECT_EQ(filestest::Raised([&] { client.GetFreezeState(); }).GetHResult(), HRESULT_FROM_WIN32(RPC_S_UNKNOWN_AUTHN_SERVICE));
    }
    EXPECT_EQ(server.Binds(), std::min(GetParam().refusals + 1, 3));
}

INSTANTIATE_TEST_SUITE_P(Refusals, RpcClientAuthn,
                         testing::Values(SRefusal{0, RPC_C_AUTHN_GSS_NEGOTIATE}, SRefusal{1, RPC_C_AUTHN_GSS_KERBEROS},
                                         SRefusal{2, RPC_C_AUTHN_WINNT}, SRefusal{3, 0}));

// GetFreezeState as a session-bound command would be: never repeated on a new binding.
class CNoRebindState : public util::CRpcClient::IRpcMethod
{
public:
    void Invoke(RPC_BINDING_HANDLE binding) override
    {
        EVssPluginFreezeState state = VssPluginFreezeNone;
        ::GetFreezeState(binding, &state);
    }
    std::wstring GetName() const override { return L"GetFreezeState"; }
    bool CanRebind() const override { return false; }
};

unsigned short FreePort()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    int length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    WSACleanup();
    return ntohs(address.sin_port);
}

// Each binding a client makes looks the agent up in the endpoint map once.
int Lookups(const CLineRecorder& recorder)
{
    const std::wstring opened = MsgText(242, L"{fa8573fc-2445-4ef5-82f1-30e34e7a07c7}", L"1", L"0");
    const std::vector<std::wstring> lines = recorder.Texts(util::LogTrace);
    return static_cast<int>(std::count(lines.begin(), lines.end(), opened));
}

struct SStale
{
    const char* name;
    bool callFirst;          // a call before the agent goes makes the client's binding
    bool restart;            // the agent comes back on another port
    bool rebindAllowed;
    RPC_STATUS status;       // of the call after the change
    int lookups;             // in all
};

class RpcClientStale : public testing::TestWithParam<SStale>
{
};

TEST_P(RpcClientStale, RebindsOnceOnlyWhereItCanHelp)
{
    const SStale& c = GetParam();
    vsstest::CVssAgentGuest guest(L"staleguest");
    auto recorder = std::make_shared<CLineRecorder>();
    auto log = remote_test::RecordingLog(recorder);
    vss::CVssPluginRpcClient client(guest.Connect(log), log);
    ASSERT_EQ(guest.Start(), static_cast<DWORD>(SERVICE_RUNNING)) << guest.AgentLog();
    if (c.callFirst)
    {
        EXPECT_EQ(client.GetFreezeState(), 0);
    }
    ASSERT_EQ(guest.Stop(), static_cast<DWORD>(SERVICE_STOPPED));
    const unsigned short port = FreePort();
    if (c.restart)
    {
        guest.WriteConfig(port);
        ASSERT_EQ(guest.Start(), static_cast<DWORD>(SERVICE_RUNNING)) << guest.AgentLog();
    }
    const auto call = [&] {
        if (c.rebindAllowed)
            client.GetFreezeState();
        else
            client.Call(std::make_shared<CNoRebindState>());
    };
    // The runtime kept the connection of the earlier call: the first call after the agent went
    // finds it broken (1726) and drops it; that status is no reason for a new binding.
    if (c.callFirst)
    {
        EXPECT_EQ(filestest::Raised(call).GetHResult(), HRESULT_FROM_WIN32(RPC_S_CALL_FAILED));
        EXPECT_EQ(Lookups(*recorder), 1);
    }
    if (c.status == RPC_S_OK)
    {
        call();
        EXPECT_EQ(client.GetBindingText(), L"ncacn_ip_tcp:127.0.0.1[" + std::to_wstring(port) + L"]");
    }
    else
    {
        EXPECT_EQ(filestest::Raised(call).GetHResult(), HRESULT_FROM_WIN32(c.status));
    }
    EXPECT_EQ(Lookups(*recorder), c.lookups);
}

INSTANTIATE_TEST_SUITE_P(
    Bindings, RpcClientStale,
    testing::Values(SStale{"AgentRestartedOnAnotherPort", true, true, true, RPC_S_OK, 2},
                    SStale{"AgentGoneRebindsOnceOnly", true, false, true, RPC_S_SERVER_UNAVAILABLE, 2},
                    SStale{"BindingMadeInTheSameCall", false, false, true, RPC_S_SERVER_UNAVAILABLE, 1},
                    SStale{"SessionBoundCommand", true, true, false, RPC_S_SERVER_UNAVAILABLE, 1}),
    [](const testing::TestParamInfo<SStale>& info) { return info.param.name; });
}
