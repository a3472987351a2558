// Self-registration of the test DLL, read back from the registry of the test prefix. The prefix
// has the DLL registered already; every test leaves it registered again.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <thread>
#include <vector>

namespace
{
const wchar_t kLibId[] = L"{5A574670-BC2C-4269-AF4A-BD7BA378F53C}";
const wchar_t kAppId[] = L"{7E68C763-27C5-43E9-AB44-C5BA4CE2BBA4}";

bool KeyExists(const std::wstring& key)
{
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

// The text of a REG_SZ value, or "<missing>".
std::wstring Value(const std::wstring& key, const wchar_t* name)
{
    wchar_t data[1024];
    DWORD size = sizeof(data);
    LSTATUS status = RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size);
    return status == ERROR_SUCCESS ? std::wstring(data) : std::wstring(L"<missing>");
}

struct SExpectedValue
{
    std::wstring key;
    const wchar_t* name;  // null: the default value
    std::wstring data;
};

struct SClassScript
{
    std::wstring clsid;
    std::wstring progId;
    std::wstring independentProgId;
    std::wstring description;
    std::wstring threading;
};

const SClassScript kScripts[] = {
    {L"{4B9E5018-1369-4247-8BF0-045C6FE5C060}", L"NimboGuestAgentCtrl.NimboVssGAConnection.1",
     L"NimboGuestAgentCtrl.NimboVssGAConnection", L"NimboVssGAConnection Class", L"Apartment"},
    {L"{3360E291-A4BA-42b7-B76B-3A348B52495F}", L"NimboGuestAgentCtrl.NimboRemoteConsoleConnection.1",
     L"NimboGuestAgentCtrl.NimboRemoteConsoleConnection", L"NimboRemoteConsoleConnection Class", L"Both"},
    {L"{E049868C-AB82-458B-A1FF-AC19B570C775}", L"NimboGuestAgentCtrl.NimboRemoteConsol.1",
     L"NimboGuestAgentCtrl.NimboRemoteConsoleE", L"NimboRemoteConsoleEvt Class", L"Both"},
};

class RegistrationTest : public testing::Test
{
protected:
    using ServerFn = HRESULT(STDAPICALLTYPE*)();

    void SetUp() override
    {
        comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        dll = LoadLibraryW(NIMBO_TEST_DLL);
        ASSERT_NE(nullptr, dll) << GetLastError();
        registerServer = reinterpret_cast<ServerFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
        unregisterServer = reinterpret_cast<ServerFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer")));
        ASSERT_NE(nullptr, registerServer);
        ASSERT_NE(nullptr, unregisterServer);
        wchar_t path[MAX_PATH];
        DWORD n = GetModuleFileNameW(dll, path, MAX_PATH);
        ASSERT_TRUE(n > 0 && n < MAX_PATH);
        dllPath.assign(path, n);
    }
    void TearDown() override
    {
        // Other tests of the prefix create the classes through the registry.
        if (registerServer)
        {
            EXPECT_EQ(S_OK, registerServer());
        }
        if (dll)
            FreeLibrary(dll);
        if (comInitialized)
            CoUninitialize();
    }

    std::vector<SExpectedValue> ExpectedValues() const
    {
        std::vector<SExpectedValue> values = {
            {L"AppID\\" + std::wstring(kAppId), nullptr, L"NimboGuestAgentCtrl"},
            {L"AppID\\NimboGuestAgentCtrl.DLL", L"AppID", kAppId},
        };
        for (const SClassScript& s : kScripts)
        {
            const std::wstring clsidKey = L"CLSID\\" + s.clsid;
            const std::vector<SExpectedValue> classValues = {
                {s.progId, nullptr, s.description},
                {s.progId + L"\\CLSID", nullptr, s.clsid},
                {s.independentProgId, nullptr, s.description},
                {s.independentProgId + L"\\CLSID", nullptr, s.clsid},
                {s.independentProgId + L"\\CurVer", nullptr, s.progId},
                {clsidKey, nullptr, s.description},
                {clsidKey, L"AppID", kAppId},
                {clsidKey + L"\\ProgID", nullptr, s.progId},
                {clsidKey + L"\\VersionIndependentProgID", nullptr, s.independentProgId},
                {clsidKey + L"\\InprocServer32", nullptr, dllPath},
                {clsidKey + L"\\InprocServer32", L"ThreadingModel", s.threading},
                {clsidKey + L"\\TypeLib", nullptr, kLibId},
            };
            values.insert(values.end(), classValues.begin(), classValues.end());
        }
        return values;
    }

    std::vector<std::wstring> RegisteredKeys() const
    {
        std::vector<std::wstring> keys = {L"AppID\\" + std::wstring(kAppId), L"AppID\\NimboGuestAgentCtrl.DLL",
                                          L"TypeLib\\" + std::wstring(kLibId) + L"\\1.0"};
        for (const SClassScript& s : kScripts)
        {
            keys.push_back(s.progId);
            keys.push_back(s.independentProgId);
            keys.push_back(L"CLSID\\" + s.clsid);
        }
        return keys;
    }

    bool comInitialized = false;
    HMODULE dll = nullptr;
    ServerFn registerServer = nullptr;
    ServerFn unregisterServer = nullptr;
    std::wstring dllPath;
};

// Registering over an existing registration, then unregistering and registering afresh.
TEST_F(RegistrationTest, UnregisterRemovesEveryKeyAndRegisterWritesEveryValue)
{
    ASSERT_EQ(S_OK, registerServer());
    ASSERT_EQ(S_OK, unregisterServer());
    for (const std::wstring& key : RegisteredKeys())
        EXPECT_FALSE(KeyExists(key)) << key.c_str();
    EXPECT_TRUE(KeyExists(L"AppID")) << "shared roots stay";
    EXPECT_TRUE(KeyExists(L"CLSID"));

    ASSERT_EQ(S_OK, registerServer());
    for (const std::wstring& key : RegisteredKeys())
        EXPECT_TRUE(KeyExists(key)) << key.c_str();
    for (const SExpectedValue& v : ExpectedValues())
        EXPECT_EQ(v.data, Value(v.key, v.name)) << v.key.c_str() << " : " << (v.name ? v.name : L"(default)");
    EXPECT_TRUE(KeyExists(L"CLSID\\" + kScripts[0].clsid + L"\\Programmable"));
    EXPECT_TRUE(KeyExists(L"CLSID\\" + kScripts[2].clsid + L"\\Programmable"));

    // The type library is registered from the DLL itself.
    GUID libId = {};
    ASSERT_EQ(S_OK, CLSIDFromString(kLibId, &libId));
    BSTR path = nullptr;
    ASSERT_EQ(S_OK, QueryPathOfRegTypeLib(libId, 1, 0, 0x409, &path));
    EXPECT_EQ(0, lstrcmpiW(dllPath.c_str(), path)) << "registered path";
    SysFreeString(path);
    EXPECT_EQ(L"NimboGuestAgentCtrl 1.0 Type Library", Value(L"TypeLib\\" + std::wstring(kLibId) + L"\\1.0", nullptr));
}

TEST_F(RegistrationTest, ForceRemoveClearsStaleEntriesUnderTheClassKey)
{
    const std::wstring stale = L"CLSID\\" + kScripts[1].clsid + L"\\LocalServer32";
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CLASSES_ROOT, stale.c_str(), &h));
    RegCloseKey(h);
    ASSERT_EQ(S_OK, registerServer());
    EXPECT_FALSE(KeyExists(stale));
}

TEST_F(RegistrationTest, RegistrationLeavesTheThreadLocaleAsItWas)
{
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    const LCID saved = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(german));
    EXPECT_EQ(S_OK, registerServer());
    EXPECT_EQ(german, GetThreadLocale());
    EXPECT_EQ(S_OK, unregisterServer());
    EXPECT_EQ(german, GetThreadLocale());
    SetThreadLocale(saved);
}
}

// Registration of a copy of the DLL in folders an installer may choose, through the entry
// points called the way installers call them: on a thread that never initialised COM. The
// registered server path must be the copy's path exactly; a path that does not fit the
// classic 260-character buffer is refused.
TEST_F(RegistrationTest, CopyInAnOddFolderRegistersItsExactPathWithoutCom)
{
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    std::wstring longFolder = std::wstring(temp) + L"nimbo_module_long_path";
    while (longFolder.size() < MAX_PATH)
        longFolder += L"\\" + std::wstring(60, L'd');
    const struct
    {
        std::wstring folder;
        HRESULT hr;
    } cases[] = {
        {std::wstring(temp) + L"nimbo_O'Brien's app", S_OK},
        {std::wstring(temp) + L"nimbo Program Files (x86)\\Backup  Tool", S_OK},
        {std::wstring(temp) + L"nimbo_Donn\u00e9es_\u00fcnic\u00f8de_\u0416", S_OK},
        {longFolder, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.folder.size() << " characters");
        for (size_t k = c.folder.find(L'\\', 3); k != std::wstring::npos; k = c.folder.find(L'\\', k + 1))
            CreateDirectoryW(c.folder.substr(0, k).c_str(), nullptr);
        CreateDirectoryW(c.folder.c_str(), nullptr);
        const std::wstring copy = c.folder + L"\\NimboGuestAgentCtrl.dll";
        ASSERT_TRUE(CopyFileW(dllPath.c_str(), copy.c_str(), FALSE)) << GetLastError();
        HMODULE copyDll = LoadLibraryW(copy.c_str());
        ASSERT_NE(nullptr, copyDll) << GetLastError();
        HRESULT registered = E_UNEXPECTED, unregistered = E_UNEXPECTED;
        std::vector<std::wstring> servers;
        std::thread([&] {
            auto call = [&](const char* name) {
                return reinterpret_cast<ServerFn>(reinterpret_cast<void*>(GetProcAddress(copyDll, name)))();
            };
            registered = call("DllRegisterServer");
            for (const SClassScript& script : kScripts)
                servers.push_back(Value(L"CLSID\\" + script.clsid + L"\\InprocServer32", nullptr));
            unregistered = call("DllUnregisterServer");
        }).join();
        EXPECT_EQ(c.hr, registered);
        EXPECT_EQ(c.hr, unregistered);
        if (c.hr == S_OK)
        {
            EXPECT_EQ(std::vector<std::wstring>(3, copy), servers);
        }
        FreeLibrary(copyDll);
        DeleteFileW(copy.c_str());
    }
}
