// Guest metrics against simulated guests: the classification and platform rules, the
// registry value checks and the sentences of every failure.
#include "remote/GuestOsInfo.h"

#include "tests/remote/RemoteTestSupport.h"
#include "tests/sim/SimRegistry.h"

using remote::CGuestOsInfo;
using remote_test::CLineRecorder;
using remote_test::ExpectWin32Sentences;
using remote_test::Raised;
using remote_test::RecordingLog;
using remote_test::UseGuests;

namespace
{
const char kEnvironment[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment";
const std::wstring kCannotCollect = L"Cannot collect metrics about the guest's operation system.";

std::string Guest(const std::string& version, const std::string& serverType,
                  const std::string& registry)
{
    return "[guest osguest]\nos_version = " + version + "\nserver_type = " + serverType + "\n" +
           registry;
}

std::string Value(const std::string& name, const std::string& type, const std::string& data)
{
    return std::string("reg = ") + kEnvironment + "|" + name + "|" + type + "|" + data + "\n";
}

std::string Architecture(const std::string& value)
{
    return Value("PROCESSOR_ARCHITECTURE", "REG_SZ", value);
}

struct SCollected
{
    std::shared_ptr<CLineRecorder> recorder = std::make_shared<CLineRecorder>();
    std::shared_ptr<CGuestOsInfo> info;
};

SCollected Collect(const std::string& description, int level = util::LogInfo)
{
    UseGuests(description);
    SCollected c;
    c.info = std::make_shared<CGuestOsInfo>(RecordingLog(c.recorder, level));
    c.info->CollectFromHost(L"osguest");
    return c;
}
}  // namespace

TEST(GuestOsInfo, ClassifiesByVersionRoleAndPlatform)
{
    const std::string amd64 = Architecture("AMD64");
    const std::string x86 = Architecture("x86");
    struct SCase
    {
        const char* version;
        const char* serverType;
        std::string registry;
        ENimboOsType type;
        ENimboOsPlatform platform;
        const wchar_t* name;  // in "Guest OS: [%1].", null for none
    } cases[] = {
        {"4.0", "0x1003", "", ENimboOsNT, ENimboX86, L"NT"},
        {"3.51", "0x1003", "", ENimboOsOther, ENimboX86, nullptr},
        {"5.0", "0x1003", x86, ENimboOs2000, ENimboX86, L"Windows 2000"},
        {"5.1", "0x1003", x86, ENimboOsXP, ENimboX86, L"Windows XP"},
        {"5.2", "0x1003", amd64, ENimboOsXP, ENimboAmd64, L"Windows XP x64"},
        {"5.2", "0x1003", Architecture("IA64"), ENimboOsXP, ENimboIA64, L"Windows XP x64"},
        {"5.2", "0x1003", x86, ENimboOs2003, ENimboX86, L"Windows 2003 Server"},
        {"5.2", "0x1003", Architecture("ARM64"), ENimboOsXP, ENimboPlatformOther, L"Windows XP x64"},
        {"5.2", "0x8000", amd64, ENimboOs2003, ENimboAmd64, L"Windows 2003 Server"},
        {"5.2", "0x8", amd64, ENimboOs2003, ENimboAmd64, L"Windows 2003 Server"},
        {"5.2", "0x10", amd64, ENimboOs2003, ENimboAmd64, L"Windows 2003 Server"},
        {"6.0", "0x9003", amd64, ENimboOsLonghorn, ENimboAmd64, L"Longhorn"},
        {"6.0", "0x1003", amd64, ENimboOsVista, ENimboAmd64, L"Vista"},
        {"6.1", "0x9003", amd64, ENimboOsOther, ENimboAmd64, nullptr},
        {"10.0", "0x1003", x86, ENimboOsOther, ENimboX86, nullptr},
        // Only the low four bits of the major version are the version.
        {"0x15.2", "0x1003", x86, ENimboOs2003, ENimboX86, L"Windows 2003 Server"},
        {"0x14.0", "0x1003", "", ENimboOsNT, ENimboX86, L"NT"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.version) + " " + c.serverType + " " + c.registry);
        SCollected r = Collect(Guest(c.version, c.serverType, c.registry));
        EXPECT_EQ(r.info->GetOsType(), c.type);
        EXPECT_EQ(r.info->GetPlatform(), c.platform);
        std::vector<std::wstring> osLines;
        for (const auto& text : r.recorder->Texts(util::LogInfo))
            if (text.compare(0, 10, L"Guest OS: ") == 0)
                osLines.push_back(text);
        EXPECT_EQ(osLines, c.name ? std::vector<std::wstring>{L"Guest OS: [" + std::wstring(c.name) + L"]."}
                                  : std::vector<std::wstring>{});
    }
}

TEST(GuestOsInfo, LogsTheServerInformationAndThePlatformAtInformationLevel)
{
    SCollected r = Collect(Guest("5.2", "0x8", Architecture("x86") +
                                                   Value("PROCESSOR_ARCHITEW6432", "REG_SZ", "AMD64")));
    WORD major = 0, minor = 0;
    r.info->GetOsBuild(major, minor);
    EXPECT_EQ(major, 5);
    EXPECT_EQ(minor, 2);
    EXPECT_TRUE(r.info->IsServer());
    const std::vector<std::wstring> expected = {
        L"sv101_type: [0x8]",
        L"Target host is a server.",
        L"Guest OS version: [5.2]",
        L"Guest OS platform: [AMD64].",
        L"Guest OS: [Windows 2003 Server].",
    };
    EXPECT_EQ(r.recorder->Texts(util::LogInfo), expected);
    EXPECT_TRUE(r.recorder->Texts(util::LogTrace).empty());
}

TEST(GuestOsInfo, PlatformFollowsTheArchitectureNamesIgnoringCase)
{
    struct SCase
    {
        std::string registry;
        ENimboOsPlatform platform;
        const wchar_t* name;
    } cases[] = {
        {Architecture("AMD64"), ENimboAmd64, L"AMD64"},
        {Architecture("amd64"), ENimboAmd64, L"AMD64"},
        {Architecture("Ia64"), ENimboIA64, L"IA64"},
        {Architecture("X86"), ENimboX86, L"X86"},
        {Architecture("x86") + Value("PROCESSOR_ARCHITEW6432", "REG_SZ", "amd64"), ENimboAmd64, L"AMD64"},
        {Architecture("x86") + Value("PROCESSOR_ARCHITEW6432", "REG_EXPAND_SZ", "IA64"), ENimboIA64, L"IA64"},
        {Architecture("x86") + Value("PROCESSOR_ARCHITEW6432", "REG_SZ", "ARM64"), ENimboX86, L"X86"},
        // A broken second value is no failure: it counts as absent.
        {Architecture("x86") + Value("PROCESSOR_ARCHITEW6432", "REG_DWORD", "1"), ENimboX86, L"X86"},
        {Architecture("x86") + Value("PROCESSOR_ARCHITEW6432", "REG_SZ", std::string(120, 'A')), ENimboX86, L"X86"},
        // The second value matters only under an x86 first value.
        {Architecture("ARM64") + Value("PROCESSOR_ARCHITEW6432", "REG_SZ", "AMD64"), ENimboPlatformOther, L"UNDEFINED"},
        {Architecture(""), ENimboPlatformOther, L"UNDEFINED"},
        {Value("PROCESSOR_ARCHITECTURE", "REG_SZ", "hex: 78 00 38 00 36 00 20 00 00 00"), ENimboPlatformOther, L"UNDEFINED"},
        {Value("PROCESSOR_ARCHITECTURE", "REG_EXPAND_SZ", "AMD64"), ENimboAmd64, L"AMD64"},
        // The longest value that fits: 99 units and the terminating zero.
        {Architecture(std::string(99, 'Z')), ENimboPlatformOther, L"UNDEFINED"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.registry);
        SCollected r = Collect(Guest("6.0", "0x1003", c.registry));
        EXPECT_EQ(r.info->GetPlatform(), c.platform);
        EXPECT_TRUE(r.recorder->Has(util::LogInfo, L"Guest OS platform: [" + std::wstring(c.name) + L"]."));
    }
}

TEST(GuestOsInfo, FailuresCarryTheCodeAndTheSentenceOfTheFailedStep)
{
    const std::wstring serverInfo = L"Cannot retrieve current configuration information for the target host.";
    const std::wstring connect = L"Cannot connect to the remote registry.";
    const std::wstring openKey = L"Cannot open sessions manager's registry key.";
    const std::wstring value = L"Cannot get the registry value [PROCESSOR_ARCHITECTURE].";
    struct SCase
    {
        std::string description;
        DWORD code;
        std::wstring sentence;
    } cases[] = {
        {Guest("6.0", "0x1003", "fail.NetServerGetInfo = 5\n"), ERROR_ACCESS_DENIED, serverInfo},
        {"[guest otherguest]\n", ERROR_BAD_NETPATH, serverInfo},
        {Guest("6.0", "0x1003", "fail.RegConnectRegistryW = 53\n"), ERROR_BAD_NETPATH, connect},
        {Guest("6.0", "0x1003", ""), ERROR_FILE_NOT_FOUND, openKey},
        {Guest("6.0", "0x1003", Value("Path", "REG_SZ", "C:\\")), ERROR_FILE_NOT_FOUND, value},
        {Guest("6.0", "0x1003", Value("PROCESSOR_ARCHITECTURE", "REG_DWORD", "9")), ERROR_INVALID_DATA, value},
        {Guest("6.0", "0x1003", Value("PROCESSOR_ARCHITECTURE", "REG_MULTI_SZ", "AMD64")), ERROR_INVALID_DATA, value},
        {Guest("6.0", "0x1003", Value("PROCESSOR_ARCHITECTURE", "REG_BINARY", "hex: 41 00 00 00")), ERROR_INVALID_DATA, value},
        {Guest("6.0", "0x1003", Value("PROCESSOR_ARCHITECTURE", "REG_SZ", "hex: 41 00 00 00 00")), ERROR_INVALID_DATA, value},
        {Guest("6.0", "0x1003", Value("PROCESSOR_ARCHITECTURE", "REG_SZ", "hex: 41 00 42 00")), ERROR_INVALID_DATA, value},
        {Guest("6.0", "0x1003", Value("PROCESSOR_ARCHITECTURE", "REG_SZ", "hex:")), ERROR_INVALID_DATA, value},
        {Guest("6.0", "0x1003", Architecture(std::string(100, 'A'))), ERROR_MORE_DATA, value},
        {Guest("6.0", "0x1003", Architecture("AMD64") + "fail.RegQueryValueExW = 1726\n"), RPC_S_CALL_FAILED, value},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.description);
        const unsigned keysBefore = sim::RegOpenKeyCount();
        ExpectWin32Sentences(Raised<CWin32Exc>([&] { Collect(c.description); }), c.code, {kCannotCollect, c.sentence});
        EXPECT_EQ(sim::RegOpenKeyCount(), keysBefore);
    }
}

TEST(GuestOsInfo, FailedRegistryReadClosesItsScopeAsFailedAndKeepsTheServerFacts)
{
    UseGuests(Guest("6.0", "0x8000", Value("PROCESSOR_ARCHITECTURE", "REG_DWORD", "9")));
    auto recorder = std::make_shared<CLineRecorder>();
    CGuestOsInfo info(RecordingLog(recorder, util::LogTrace));
    EXPECT_THROW(info.CollectFromHost(L"osguest"), CWin32Exc);
    EXPECT_TRUE(recorder->Has(util::LogTrace, L"Collecting information about the guest's platform type.Failed."));
    EXPECT_TRUE(info.IsServer());
    WORD major = 0, minor = 0;
    info.GetOsBuild(major, minor);
    EXPECT_EQ(major, 6);
    EXPECT_EQ(info.GetOsType(), ENimboOsNT);  // not classified
}
