// Guest metrics through the shipped platform binding, collected from this machine as Wine
// presents it: its server information and the system environment in its registry.
#include "remote/GuestOsInfo.h"

#include "tests/remote/RemoteTestSupport.h"

using remote::CGuestOsInfo;
using remote_test::CLineRecorder;
using remote_test::ExpectWin32Sentences;
using remote_test::ComputerName;
using remote_test::Raised;
using remote_test::RecordingLog;

TEST(GuestOsInfoOnWine, CollectsTheLocalMachine)
{
    auto recorder = std::make_shared<CLineRecorder>();
    CGuestOsInfo info(RecordingLog(recorder));
    info.CollectFromHost(ComputerName());

    // The same facts from the local system's own calls.
    OSVERSIONINFOW version = {sizeof(version)};
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ASSERT_TRUE(GetVersionExW(&version));
#pragma GCC diagnostic pop
    WORD major = 0, minor = 0;
    info.GetOsBuild(major, minor);
    EXPECT_EQ(major, version.dwMajorVersion & 0x0F);
    EXPECT_EQ(minor, version.dwMinorVersion);

    // A 64-bit prefix is an AMD64 machine, a 32-bit one (the 32-bit lane) an x86 machine.
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    const bool amd64 = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64;
    ASSERT_TRUE(amd64 || system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_INTEL);
    EXPECT_EQ(info.GetPlatform(), amd64 ? ENimboAmd64 : ENimboX86);
    EXPECT_TRUE(recorder->Has(util::LogTrace, L"PROCESSOR_ARCHITECTURE: [" + std::wstring(amd64 ? L"AMD64" : L"x86") + L"]"));
    EXPECT_TRUE(recorder->Has(util::LogInfo, L"Guest OS platform: [" + std::wstring(amd64 ? L"AMD64" : L"X86") + L"]."));
    EXPECT_TRUE(recorder->Has(util::LogInfo, L"Guest OS version: [" + std::to_wstring(major) + L"." +
                                                 std::to_wstring(minor) + L"]"));
}

TEST(GuestOsInfoOnWine, UnreachableHostFailsAtTheServerInformation)
{
    CGuestOsInfo info(RecordingLog(std::make_shared<CLineRecorder>()));
    const CWin32Exc e = Raised<CWin32Exc>([&] { info.CollectFromHost(L"nimbo-no-such-host"); });
    EXPECT_NE(e.GetCode(), 0u);
    ExpectWin32Sentences(e, e.GetCode(),
                         {L"Cannot collect metrics about the guest's operation system.",
                          L"Cannot retrieve current configuration information for the target host."});
}
