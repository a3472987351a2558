// Benchmark (not a test): installs and uninstalls the VSS agent on a simulated guest N times
// and compares the upload phase with a plain CopyFileW of the same files.
//
//   InstallBenchmark.exe <package folder> <work folder> [N]
//
// The guest's ADMIN$ share is a local folder reached through \\host\ADMIN$, so the numbers
// show the engine's own overhead over the file copies it has to make, not a network.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <objbase.h>

#include "deploy/Installer.h"
#include "bench/BenchSupport.h"
#include "foundation/Exc.h"
#include "foundation/FileSystem.h"
#include "foundation/Log.h"
#include "remote/AdminShareConnection.h"
#include "vss/VssInstallPolicy.h"

namespace
{
using namespace bench;

// Polls of the service while it starts; the agent usually runs after the first or second.
const DWORD kPollIntervalMs = 20;

void CopyOrThrow(const std::wstring& from, const std::wstring& to)
{
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE))
        throw CWin32Exc(L"CopyFileW failed: " + to, GetLastError());
}

int Run(const std::wstring& package, const std::wstring& work, int rounds)
{
    const std::wstring share = util::JoinPath(work, L"guest-admin");
    util::CreateFolderTree(share);
    WriteGuests(work, share);

    auto log = std::make_shared<util::CLog>();  // no writer: the engine's lines cost nothing
    auto connection = std::make_shared<CAdminShareConnection>(
        std::wstring(L"\\\\") + kHost + L"\\ADMIN$", kLogin, kPassword, log);
    install::CInstaller installer(connection, std::make_shared<vss::CVssSpecificInstall>(), log);
    installer.SetPackageFolder(package);
    installer.SetServicePollInterval(kPollIntervalMs);
    installer.CollectGuestMetrics();

    SSeries phases[] = {{"upload", {}}, {"configuration", {}}, {"registration", {}}, {"start", {}}};
    SSeries install{"install (all)", {}}, uninstall{"uninstall", {}}, plain{"plain CopyFileW", {}};
    double phaseStart = 0;
    installer.SetPhaseObserver([&](install::EInstallPhase phase, bool finished) {
        if (!finished)
            phaseStart = Now();
        else
            phases[static_cast<int>(phase)].ms.push_back(Now() - phaseStart);
    });

    // The files the upload copies, under the names it gives them.
    const std::wstring sources[] = {L"NimboGuestAgent_X64.exe", L"NimboVssSupport2003_X64.dll"};
    const std::wstring targets[] = {L"NimboGuestAgent.exe", L"NimboVssSupport.dll"};
    const std::wstring plainFolder = std::wstring(L"\\\\") + kHost + L"\\ADMIN$\\PlainCopy";

    for (int round = 0; round < rounds; ++round)
    {
        double start = Now();
        installer.Install();
        install.ms.push_back(Now() - start);
        if (installer.GetAgentState() != ENimboVssInstalledRunning)
            throw CExc(L"The agent is not running after the installation.", E_FAIL);

        start = Now();
        installer.Uninstall();
        uninstall.ms.push_back(Now() - start);

        // The same two files copied plainly into a new folder on the same share.
        start = Now();
        util::CreateFolderTree(plainFolder);
        for (int i = 0; i < 2; ++i)
            CopyOrThrow(util::JoinPath(package, sources[i]), util::JoinPath(plainFolder, targets[i]));
        plain.ms.push_back(Now() - start);
        util::RemoveFolder(plainFolder);
    }

    std::printf("%d rounds of install + uninstall of the VSS agent on a simulated guest\n", rounds);
    std::printf("%-16s %10s %10s\n", "phase", "median ms", "mean ms");
    for (const SSeries* s : {&phases[0], &phases[1], &phases[2], &phases[3], &install, &uninstall, &plain})
        std::printf("%-16s %10.2f %10.2f\n", s->name, s->Median(), s->Mean());
    const double ratio = phases[0].Median() / std::max(plain.Median(), 0.001);
    std::printf("upload / plain copy (medians): %.2f\n", ratio);
    return 0;
}
}

int wmain(int argc, wchar_t** argv)
{
    return bench::Main(argc, argv, "InstallBenchmark", 20, Run);
}
