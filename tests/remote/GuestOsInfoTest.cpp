// Guest metrics against simulated guests: the classification and platform rules, the
// registry value checks and the sentences of every failure.
#include "remote/GuestOsInfo.h"

#include "tests/remote/RemoteTestSupport.h"
#include "sim/SimRegistry.h"

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

std::string Guest(const std::string& version, const std::string& serverType, const std::string& registry)
{
    return "[guest osguest]\nos_version = " + version + "\nserver_type = " + serverType + "\n" + registry;
}

std::string Value(const std::string& name, const std::string& type, const std::string& data)
{
    return std::string("reg = ") + kEnvironment + "|" + name + "|" + type + "|" + data + "\n";
}

std::string Architecture(const std::string& value) { return Value("PROCESSOR_ARCHITECTURE", "REG_SZ", value); }
std::string Vista(const std::string& registry) { return Guest("6.0", "0x1003", registry); }

struct SCollected
{
    std::shared_ptr<CLineRecorder> recorder = std::make_shared<CLineRecorder>();
    std::shared_ptr<CGuestOsInfo> info = std::make_shared<CGuestOsInfo>(RecordingLog(recorder, util::LogInfo));
};

SCollected Collect(const std::string& description)
{
    UseGuests(description);
    SCollected c;
    c.info->CollectFromHost(L"osguest");
    return c;
}

// platform: the name in "Guest OS platform: [%1]."; os: the name in "Guest OS: [%1].", null
// for none.
struct SClassCase
{
    const char *version, *serverType;
    std::string registry;
    ENimboOsType type;
    const wchar_t *platform, *os;
};

// A Vista workstation, whose type does not depend on its platform.
SClassCase VistaCase(const std::string& registry, const wchar_t* platform)
{
    return {"6.0", "0x1003", registry, ENimboOsVista, platform, L"Vista"};
}

ENimboOsPlatform PlatformNamed(const std::wstring& name)
{
    return name == L"AMD64" ? ENimboAmd64 : name == L"IA64" ? ENimboIA64 : name == L"X86" ? ENimboX86 : ENimboPlatformOther;
}
}  // namespace

TEST(GuestOsInfo, ClassifiesByVersionRoleAndPlatform)
{
    const std::string amd64 = Architecture("AMD64"), x86 = Architecture("x86");
    const std::string wow64 = "PROCESSOR_ARCHITEW6432";
    const SClassCase cases[] = {
        {"4.0", "0x1003", "", ENimboOsNT, L"X86", L"NT"},
        {"3.51", "0x1003", "", ENimboOsOther, L"X86", nullptr},
        {"5.0", "0x1003", x86, ENimboOs2000, L"X86", L"Windows 2000"},
        {"5.1", "0x1003", x86, ENimboOsXP, L"X86", L"Windows XP"},
        {"5.2", "0x1003", amd64, ENimboOsXP, L"AMD64", L"Windows XP x64"},
        {"5.2", "0x1003", Architecture("IA64"), ENimboOsXP, L"IA64", L"Windows XP x64"},
        {"5.2", "0x1003", x86, ENimboOs2003, L"X86", L"Windows 2003 Server"},
        {"5.2", "0x1003", Architecture("ARM64"), ENimboOsXP, L"UNDEFINED", L"Windows XP x64"},
        {"5.2", "0x8000", amd64, ENimboOs2003, L"AMD64", L"Windows 2003 Server"},
        {"5.2", "0x8", amd64, ENimboOs2003, L"AMD64", L"Windows 2003 Server"},
        {"5.2", "0x10", amd64, ENimboOs2003, L"AMD64", L"Windows 2003 Server"},
        {"6.0", "0x9003", amd64, ENimboOsLonghorn, L"AMD64", L"Longhorn"},
        {"6.1", "0x9003", amd64, ENimboOsOther, L"AMD64", nullptr},
        {"10.0", "0x1003", x86, ENimboOsOther, L"X86", nullptr},
        // Only the low four bits of the major version are the version.
        {"0x15.2", "0x1003", x86, ENimboOs2003, L"X86", L"Windows 2003 Server"},
        {"0x14.0", "0x1003", "", ENimboOsNT, L"X86", L"NT"},
        // The architecture names ignore case; the second value counts only under an x86 first
        // value, and a broken second value counts as absent.
        VistaCase(amd64, L"AMD64"), VistaCase(Architecture("amd64"), L"AMD64"), VistaCase(Architecture("Ia64"), L"IA64"),
        VistaCase(Architecture("X86"), L"X86"), VistaCase(x86 + Value(wow64, "REG_SZ", "amd64"), L"AMD64"),
        VistaCase(x86 + Value(wow64, "REG_EXPAND_SZ", "IA64"), L"IA64"), VistaCase(x86 + Value(wow64, "REG_SZ", "ARM64"), L"X86"),
        VistaCase(x86 + Value(wow64, "REG_DWORD", "1"), L"X86"), VistaCase(x86 + Value(wow64, "REG_SZ", std::string(120, 'A')), L"X86"),
        VistaCase(Architecture("ARM64") + Value(wow64, "REG_SZ", "AMD64"), L"UNDEFINED"), VistaCase(Architecture(""), L"UNDEFINED"),
        VistaCase(Value("PROCESSOR_ARCHITECTURE", "REG_SZ", "hex: 78 00 38 00 36 00 20 00 00 00"), L"UNDEFINED"),
        VistaCase(Value("PROCESSOR_ARCHITECTURE", "REG_EXPAND_SZ", "AMD64"), L"AMD64"),
        // The longest value that fits: 99 units and the terminating zero.
        VistaCase(Architecture(std::string(99, 'Z')), L"UNDEFINED"),
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.version) + " " + c.serverType + " " + c.registry);
        SCollected r = Collect(Guest(c.version, c.serverType, c.registry));
        EXPECT_EQ(r.info->GetOsType(), c.type);
        EXPECT_EQ(r.info->GetPlatform(), PlatformNamed(c.platform));
        std::vector<std::wstring> osLines;
        for (const auto& text : r.recorder->Texts(util::LogInfo))
            if (text.compare(0, 10, L"Guest OS: ") == 0)
                osLines.push_back(text);
        EXPECT_EQ(osLines, c.os ? std::vector<std::wstring>{L"Guest OS: [" + std::wstring(c.os) + L"]."}
                                : std::vector<std::wstring>{});
        EXPECT_TRUE(c.registry.empty() || r.recorder->Has(util::LogInfo, L"Guest OS platform: [" + std::wstring(c.platform) + L"]."));
    }
}

TEST(GuestOsInfo, LogsTheServerInformationAndThePlatformAtInformationLevel)
{
    SCollected r = Collect(Guest("5.2", "0x8", Architecture("x86") + Value("PROCESSOR_ARCHITEW6432", "REG_SZ", "AMD64")));
    WORD major = 0, minor = 0;
    r.info->GetOsBuild(major, minor);
    EXPECT_EQ(major, 5);
    EXPECT_EQ(minor, 2);
    EXPECT_TRUE(r.info->IsServer());
    EXPECT_EQ(r.recorder->Texts(util::LogInfo),
              (std::vector<std::wstring>{L"sv101_type: [0x8]", L"Target host is a server.", L"Guest OS version: [5.2]",
                                         L"Guest OS platform: [AMD64].", L"Guest OS: [Windows 2003 Server]."}));
    EXPECT_TRUE(r.recorder->Texts(util::LogTrace).empty());
}

TEST(GuestOsInfo, FailuresCarryTheCodeAndTheSentenceOfTheFailedStepAndCloseEveryKey)
{
    const std::wstring serverInfo = L"Cannot retrieve current configuration information for the target host.";
    const std::wstring value = L"Cannot get the registry value [PROCESSOR_ARCHITECTURE].";
    const auto arch = [](const char* type, const std::string& data) { return Value("PROCESSOR_ARCHITECTURE", type, data); };
    const struct { std::string description; DWORD code; std::wstring sentence; } cases[] = {
        {Vista("fail.NetServerGetInfo = 5\n"), ERROR_ACCESS_DENIED, serverInfo},
        {"[guest otherguest]\n", ERROR_BAD_NETPATH, serverInfo},
        {Vista("fail.RegConnectRegistryW = 53\n"), ERROR_BAD_NETPATH, L"Cannot connect to the remote registry."},
        {Vista(""), ERROR_FILE_NOT_FOUND, L"Cannot open sessions manager's registry key."},
        {Vista(Value("Path", "REG_SZ", "C:\\")), ERROR_FILE_NOT_FOUND, value},
        {Vista(arch("REG_DWORD", "9")), ERROR_INVALID_DATA, value},
        {Vista(arch("REG_MULTI_SZ", "AMD64")), ERROR_INVALID_DATA, value},
        {Vista(arch("REG_BINARY", "hex: 41 00 00 00")), ERROR_INVALID_DATA, value},
        {Vista(arch("REG_SZ", "hex: 41 00 00 00 00")), ERROR_INVALID_DATA, value},
        {Vista(arch("REG_SZ", "hex: 41 00 42 00")), ERROR_INVALID_DATA, value},
        {Vista(arch("REG_SZ", "hex:")), ERROR_INVALID_DATA, value},
        {Vista(Architecture(std::string(100, 'A'))), ERROR_MORE_DATA, value},
        {Vista(Architecture("AMD64") + "fail.RegQueryValueExW = 1726\n"), RPC_S_CALL_FAILED, value},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.description);
        const unsigned keysBefore = sim::RegOpenKeyCount();
        ExpectWin32Sentences(Raised<CWin32Exc>([&] { Collect(c.description); }), c.code, {kCannotCollect, c.sentence});
        EXPECT_EQ(sim::RegOpenKeyCount(), keysBefore);
    }

    // A failed registry read closes its scope as failed and keeps the server facts.
    UseGuests(Guest("6.0", "0x8000", arch("REG_DWORD", "9")));
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
