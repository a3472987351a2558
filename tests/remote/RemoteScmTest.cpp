// Service control against simulated guests: what reaches the service control manager, the
// start and stop polling, and the sentences of every failure.
#include "remote/RemoteScm.h"

#include "tests/remote/RemoteTestSupport.h"
#include "sim/SimScm.h"

using remote::CRemoteScm;
using remote_test::ExpectWin32Sentences;
using remote_test::Raised;

namespace
{
const wchar_t kHost[] = L"scmguest";

// A new description and a service control manager that starts from it.
void UseGuests(const std::string& text)
{
    remote_test::UseGuests(text);
    sim::ScmReset();
}

const std::wstring kStart = L"Cannot start service. Machine: [scmguest]. Service: [Agent].";
const std::wstring kStop = L"Cannot stop service. Machine: [scmguest]. Service: [Agent].";
const std::wstring kStatus = L"Cannot retrieve the current status of the service. Machine: [scmguest]. Service: [Agent].";

sim::SServiceRecord Record(const std::wstring& name)
{
    sim::SServiceRecord record;
    EXPECT_TRUE(sim::ScmFindService(kHost, name, record)) << name;
    return record;
}

std::unique_ptr<CRemoteScm> OpenScm()
{
    auto scm = std::make_unique<CRemoteScm>(kHost, SC_MANAGER_ALL_ACCESS);
    scm->SetPollInterval(1);
    return scm;
}
}  // namespace

TEST(RemoteScm, ServiceStaysUsableAfterItsManagerIsGone)
{
    UseGuests("[guest scmguest]\nservice = Agent|stopped\n");
    const unsigned handlesBefore = sim::ScmOpenHandleCount();
    {
        remote::CRemoteServicePtr service = OpenScm()->OpenService(L"Agent", SERVICE_ALL_ACCESS);
        service->Start(5);
        EXPECT_EQ(service->QueryCurrentState(), DWORD(SERVICE_RUNNING));
        EXPECT_EQ(service->GetMachine(), kHost);
        EXPECT_EQ(service->GetPollInterval(), 1u);
    }
    EXPECT_EQ(sim::ScmOpenHandleCount(), handlesBefore);
}

// A start (stop) is requested only when the service is not running (stopped) already, then
// the state is polled up to the timeout; an unfinished start fails, an unfinished stop does not.
TEST(RemoteService, StartAndStopRequestOnlyWhenNeededAndPollUpToTheTimeout)
{
    const struct
    {
        const char* description;
        bool start;
        DWORD timeout;
        bool timesOut;
        unsigned requests, queries;  // start (or stop) requests that reached the service, status queries
        DWORD finalState;
    } cases[] = {
        {"Agent|running", true, 3, false, 0, 1, SERVICE_RUNNING},
        {"Agent|stopped", true, 3, false, 1, 2, SERVICE_RUNNING},
        {"Agent|stopped|start=pending:2", true, 5, false, 1, 4, SERVICE_RUNNING},
        {"Agent|start_pending|pending_polls=1", true, 5, false, 0, 2, SERVICE_RUNNING},
        {"Agent|start_pending", true, 3, true, 0, 4, SERVICE_START_PENDING},
        {"Agent|stopped|start=pending", true, 2, true, 1, 3, SERVICE_START_PENDING},
        {"Agent|stopped", true, 0, true, 1, 1, SERVICE_RUNNING},
        {"Agent|stopped", false, 3, false, 0, 1, SERVICE_STOPPED},
        {"Agent|running", false, 3, false, 1, 2, SERVICE_STOPPED},
        {"Agent|running|stop=pending:1", false, 5, false, 1, 3, SERVICE_STOPPED},
        {"Agent|stop_pending", false, 3, false, 0, 4, SERVICE_STOP_PENDING},
        {"Agent|running|stop=pending", false, 2, false, 1, 3, SERVICE_STOP_PENDING},
        {"Agent|running", false, 0, false, 1, 1, SERVICE_STOPPED},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.description << (c.start ? " start " : " stop ") << c.timeout);
        UseGuests(std::string("[guest scmguest]\nservice = ") + c.description + "\n");
        auto service = OpenScm()->OpenService(L"Agent", SERVICE_ALL_ACCESS);
        if (c.timesOut)
            ExpectWin32Sentences(Raised<CWin32Exc>([&] { service->Start(c.timeout); }), ERROR_SERVICE_REQUEST_TIMEOUT,
                                 {kStart, L"Service start timeout. Timeout (sec): [" + std::to_wstring(c.timeout) + L"]."});
        else
            EXPECT_NO_THROW(c.start ? service->Start(c.timeout) : service->Stop(c.timeout));
        const sim::SServiceRecord r = Record(L"Agent");
        EXPECT_EQ(c.start ? r.startRequests : r.stopRequests, c.requests);
        EXPECT_EQ(r.statusQueries, c.queries);
        EXPECT_EQ(r.state, c.finalState);
    }
}

// Every failure names the machine and the service, innermost sentence last, and closes every
// handle it opened.
TEST(RemoteScm, FailuresCarryTheCodeAndTheSentencesOfEachLevel)
{
    const std::wstring connect = L"Cannot connect to remote SCM database. Machine: [scmguest]. Requested rights: [0xf003f].";
    const std::wstring create = L"Cannot create service. Machine: [scmguest]. Service name: [Agent]. Service binary path: "
                                L"[C:\\a.exe]. Service account: [.\\u].";
    const std::wstring open = L"Cannot open service. Machine: [scmguest]. Service name: [Agent].";
    const std::wstring notify = L"Cannot notify the service that it should be stopped.";
    const std::wstring del = L"Cannot delete service. Machine: [scmguest]. Service name: [Agent].";
    enum class EOp { Connect, Create, Open, Query, Start, Stop, Delete };
    const struct { const char* guest; EOp op; DWORD code; std::vector<std::wstring> sentences; } cases[] = {
        {"fail.OpenSCManagerW = 5\n", EOp::Connect, ERROR_ACCESS_DENIED, {connect}},
        {"service = Agent|stopped\n", EOp::Create, ERROR_SERVICE_EXISTS, {create}},
        {"service = Agent|stopped|deleted\n", EOp::Create, ERROR_SERVICE_MARKED_FOR_DELETE, {create}},
        {"fail.CreateServiceW = 5\n", EOp::Create, ERROR_ACCESS_DENIED, {create}},
        {"", EOp::Open, ERROR_SERVICE_DOES_NOT_EXIST, {open}},
        {"service = Agent|stopped|open_error=5\n", EOp::Open, ERROR_ACCESS_DENIED, {open}},
        {"service = Agent|stopped|query_error=6\n", EOp::Query, ERROR_INVALID_HANDLE, {kStatus}},
        {"service = Agent|stopped|start_error=1058\n", EOp::Start, ERROR_SERVICE_DISABLED, {kStart}},
        {"service = Agent|stopped|query_error=6\n", EOp::Start, ERROR_INVALID_HANDLE, {kStart, kStatus}},
        {"service = Agent|stopped|deleted\n", EOp::Start, ERROR_SERVICE_MARKED_FOR_DELETE, {kStart}},
        {"service = Agent|running|stop_error=1051\n", EOp::Stop, ERROR_DEPENDENT_SERVICES_RUNNING, {kStop, notify}},
        {"service = Agent|start_pending\n", EOp::Stop, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, {kStop, notify}},
        {"service = Agent|running|query_error=1722\n", EOp::Stop, RPC_S_SERVER_UNAVAILABLE, {kStop, kStatus}},
        {"service = Agent|stopped|deleted\n", EOp::Delete, ERROR_SERVICE_MARKED_FOR_DELETE, {del}},
        {"service = Agent|stopped|delete_error=5\n", EOp::Delete, ERROR_ACCESS_DENIED, {del}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.guest << static_cast<int>(c.op));
        UseGuests(std::string("[guest scmguest]\n") + c.guest);
        const unsigned handlesBefore = sim::ScmOpenHandleCount();
        ExpectWin32Sentences(Raised<CWin32Exc>([&] {
                                 auto scm = OpenScm();
                                 if (c.op == EOp::Create)
                                     scm->CreateService(L"Agent", L"Agent", L"C:\\a.exe", {}, L".\\u", L"pw", true, SERVICE_ALL_ACCESS);
                                 auto service = scm->OpenService(L"Agent", SERVICE_ALL_ACCESS);
                                 c.op == EOp::Query  ? void(service->QueryCurrentState())
                                 : c.op == EOp::Start ? service->Start(3)
                                 : c.op == EOp::Stop  ? service->Stop(3)
                                 : c.op == EOp::Delete ? service->Delete()
                                                       : void();
                             }),
                             c.code, c.sentences);
        EXPECT_EQ(sim::ScmOpenHandleCount(), handlesBefore);
    }
    ExpectWin32Sentences(Raised<CWin32Exc>([] { CRemoteScm(L"nosuchhost", SC_MANAGER_CONNECT); }), RPC_S_SERVER_UNAVAILABLE,
                         {L"Cannot connect to remote SCM database. Machine: [nosuchhost]. Requested rights: [0x1]."});
}
