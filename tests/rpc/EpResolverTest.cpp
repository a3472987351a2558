// Endpoint-map lookups against simulated guests: which registration each lookup picks, the
// sentences of a failed lookup, and a map that follows what the real agent registers.
#include <gtest/gtest.h>

#include <regex>

#include "rpc/EpResolver.h"
#include "tests/vss/VssAgentGuest.h"
#include "vss/VssPluginRpcClient.h"

namespace
{
using remote_test::UseGuests;

const char kIf[] = "{FA8573FC-2445-4EF5-82F1-30E34E7A07C7}";
const char kGuest[] = "[guest epguest]\naccount = VSSLAB\\backup | Fr33ze-Pa55\n";

std::string Endpoint(const char* version, const char* binding, const char* annotation)
{
    return std::string("endpoint = ") + kIf + " | " + version + " | " + binding + " | " + annotation + "\n";
}

struct SLookup
{
    const char* name;
    std::string endpoints;
    const wchar_t* byInterface;   // the binding found, or null for none
    const wchar_t* byService;     // ResolveByService(..., "NimboVssSupport")
};

class EpResolverLookup : public testing::TestWithParam<SLookup>
{
};

TEST_P(EpResolverLookup, PicksTheFirstSuitableRegistration)
{
    const SLookup& c = GetParam();
    UseGuests(kGuest + c.endpoints +
              "endpoint = {11111111-2222-3333-4444-555555555555} | 1.0 | ncacn_ip_tcp:127.0.0.1[4999] | NimboVssSupport\n");
    auto log = std::make_shared<util::CLog>();
    auto share = std::make_shared<CAdminShareConnection>(L"\\\\epguest\\ADMIN$", vsstest::kLogin, vsstest::kPassword, log);
    util::CEpResolver resolver(share, log);
    const RPC_IF_ID id = vss::CVssPluginRpcClient::InterfaceId();
    std::wstring found;
    EXPECT_EQ(resolver.ResolveByInterface(id, found), c.byInterface != nullptr);
    EXPECT_EQ(found, c.byInterface ? c.byInterface : L"");
    found.clear();
    EXPECT_EQ(resolver.ResolveByService(id, vsstest::kService, found), c.byService != nullptr);
    EXPECT_EQ(found, c.byService ? c.byService : L"");
}

INSTANTIATE_TEST_SUITE_P(
    Maps, EpResolverLookup,
    testing::Values(
        SLookup{"NamedPipeOnly", Endpoint("1.0", "ncacn_np:127.0.0.1[\\\\pipe\\\\vss]", "NimboVssSupport"), nullptr, nullptr},
        SLookup{"SeveralTcp",
                Endpoint("1.0", "ncacn_np:127.0.0.1[\\\\pipe\\\\vss]", "NimboVssSupport") +
                    Endpoint("1.0", "ncacn_ip_tcp:127.0.0.1[5001]", "NimboVssSupport") +
                    Endpoint("1.0", "ncacn_ip_tcp:127.0.0.1[5002]", "NimboVssSupport"),
                L"ncacn_ip_tcp:127.0.0.1[5001]", L"ncacn_ip_tcp:127.0.0.1[5001]"},
        SLookup{"AnnotationInOtherCase", Endpoint("1.0", "ncacn_ip_tcp:127.0.0.1[5003]", "NIMBOVSSSUPPORT"),
                L"ncacn_ip_tcp:127.0.0.1[5003]", L"ncacn_ip_tcp:127.0.0.1[5003]"},
        SLookup{"OtherServiceThenUnannotated",
                Endpoint("1.0", "ncacn_ip_tcp:127.0.0.1[5004]", "OtherService") +
                    Endpoint("1.0", "ncacn_ip_tcp:127.0.0.1[5005]", ""),
                L"ncacn_ip_tcp:127.0.0.1[5004]", nullptr},
        SLookup{"OtherMinorVersion", Endpoint("1.1", "ncacn_ip_tcp:127.0.0.1[5006]", "NimboVssSupport"), nullptr,
                L"ncacn_ip_tcp:127.0.0.1[5006]"}),
    [](const testing::TestParamInfo<SLookup>& info) { return info.param.name; });

// The sentences of a failed lookup, outermost first, checked against the message table.
struct SFailure
{
    const char* name;
    std::string guest;
    const wchar_t* host;
    std::vector<UINT> inner;      // the messages between the operation's and the RPC line
    RPC_STATUS status;
};

class EpResolverFailure : public testing::TestWithParam<SFailure>
{
};

TEST_P(EpResolverFailure, NamesEveryStepThatFailed)
{
    const SFailure& c = GetParam();
    UseGuests(c.guest);
    auto log = std::make_shared<util::CLog>();
    auto share = std::make_shared<CAdminShareConnection>(std::wstring(L"\\\\") + c.host + L"\\ADMIN$",
                                                         vsstest::kLogin, vsstest::kPassword, log);
    util::CEpResolver resolver(share, log);
    const RPC_IF_ID id = vss::CVssPluginRpcClient::InterfaceId();
    std::wstring found;
    for (bool byService : {false, true})
    {
        CExc e = filestest::Raised([&] {
            byService ? resolver.ResolveByService(id, vsstest::kService, found) : resolver.ResolveByInterface(id, found);
        });
        std::vector<std::wstring> expected = {byService ? MsgText(212, vsstest::kService, c.host)
                                                        : MsgText(241, L"{fa8573fc-2445-4ef5-82f1-30e34e7a07c7}", L"1", L"0")};
        for (UINT id : c.inner)
            expected.push_back(MsgText(id));
        std::vector<std::wstring> sentences = filestest::Sentences(e);
        ASSERT_EQ(sentences.size(), expected.size() + 1) << e.GetFullText();
        EXPECT_EQ(std::vector<std::wstring>(sentences.begin(), sentences.end() - 1), expected);
        EXPECT_TRUE(std::regex_match(sentences.back(), std::wregex(L"RPC error:[\\s\\S]* Code: [0-9]+"))) << sentences.back();
        EXPECT_EQ(e.GetHResult(), HRESULT_FROM_WIN32(c.status));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Guests, EpResolverFailure,
    testing::Values(SFailure{"MapperUnreachable", std::string(kGuest) + "endpoint_map = 1722\n", L"epguest", {205},
                             RPC_S_SERVER_UNAVAILABLE},
                    SFailure{"NextElementFails", std::string(kGuest) + Endpoint("1.0", "ncacn_ip_tcp:127.0.0.1[5007]", "x") +
                                                     "[fail]\nRpcMgmtEpEltInqNextW = 1727\n",
                             L"epguest", {206}, RPC_S_CALL_FAILED_DNE}),
    [](const testing::TestParamInfo<SFailure>& info) { return info.param.name; });

// The guest's map holds what the running agent registered, with its real port, and loses it
// when the agent stops.
TEST(EpResolverAgent, MapFollowsTheRunningAgent)
{
    vsstest::CVssAgentGuest guest(L"epagent");
    auto log = std::make_shared<util::CLog>();
    auto share = guest.Connect(log);
    util::CEpResolver resolver(share, log);
    const RPC_IF_ID id = vss::CVssPluginRpcClient::InterfaceId();
    std::wstring found;
    EXPECT_FALSE(resolver.ResolveByInterface(id, found));

    ASSERT_EQ(guest.Start(), static_cast<DWORD>(SERVICE_RUNNING)) << guest.AgentLog();
    std::wsmatch port;
    const std::wstring agentLog = guest.AgentLog();
    ASSERT_TRUE(std::regex_search(agentLog, port, std::wregex(L"binding \\[ncacn_ip_tcp:\\[([0-9]+)\\]\\], annotation \\[NimboVssSupport\\]")))
        << agentLog;
    const std::wstring expected = L"ncacn_ip_tcp:127.0.0.1[" + port[1].str() + L"]";
    EXPECT_TRUE(resolver.ResolveByInterface(id, found));
    EXPECT_EQ(found, expected);
    EXPECT_TRUE(resolver.ResolveByService(id, L"nimbovsssupport", found));
    EXPECT_EQ(found, expected);

    ASSERT_EQ(guest.Stop(), static_cast<DWORD>(SERVICE_STOPPED));
    found.clear();
    EXPECT_FALSE(resolver.ResolveByInterface(id, found)) << found;
}
}
