// Self-registration of the test DLL, read back from the registry of the test prefix. The prefix
// has the DLL registered already; every test leaves it registered again.
#include <gtest/gtest.h>
#include <windows.h>
#include <oleauto.h>
#include <string>
#include <thread>
#include <vector>

#include "NimboGuestAgentCtrl.h"
#include "foundation/ComTypes.h"
#include "foundation/FileSystem.h"

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

struct SClassScript { std::wstring clsid, progId, independentProgId, description, threading; };

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
        ASSERT_TRUE(registerServer && unregisterServer);
        wchar_t path[MAX_PATH];
        dllPath.assign(path, GetModuleFileNameW(dll, path, MAX_PATH));
    }
    void TearDown() override
    {
        // Other tests of the prefix create the classes through the registry.
        EXPECT_EQ(S_OK, registerServer ? registerServer() : S_OK);
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
            values.insert(values.end(), {
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
            });
        }
        return values;
    }

    bool comInitialized = false;
    HMODULE dll = nullptr;
    ServerFn registerServer = nullptr;
    ServerFn unregisterServer = nullptr;
    std::wstring dllPath;
};

// Registering over an existing registration (with a stale entry under a class key), then
// unregistering and registering afresh; the thread's locale stays as the caller set it.
TEST_F(RegistrationTest, RegisterWritesEveryValueAndUnregisterRemovesEveryKey)
{
    const std::wstring stale = L"CLSID\\" + kScripts[1].clsid + L"\\LocalServer32";
    HKEY h = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyW(HKEY_CLASSES_ROOT, stale.c_str(), &h));
    RegCloseKey(h);
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT), saved = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(german));
    ASSERT_EQ(S_OK, registerServer());
    EXPECT_FALSE(KeyExists(stale)) << "ForceRemove clears what the class key held";
    EXPECT_EQ(german, GetThreadLocale());
    ASSERT_EQ(S_OK, unregisterServer());
    EXPECT_EQ(german, GetThreadLocale());
    SetThreadLocale(saved);
    const std::wstring typeLibKey = L"TypeLib\\" + std::wstring(kLibId) + L"\\1.0";
    std::vector<std::wstring> keys = {typeLibKey};
    for (const SExpectedValue& v : ExpectedValues())
        keys.push_back(v.key);
    for (const std::wstring& key : keys)
        EXPECT_FALSE(KeyExists(key)) << key.c_str();
    EXPECT_TRUE(KeyExists(L"AppID")) << "shared roots stay";
    EXPECT_TRUE(KeyExists(L"CLSID"));

    ASSERT_EQ(S_OK, registerServer());
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
    EXPECT_EQ(L"NimboGuestAgentCtrl 1.0 Type Library", Value(typeLibKey, nullptr));
}
}

// Registration of a copy of the DLL in folders an installer may choose, through the entry
// points called the way installers call them: on a thread that never initialised COM. The
// registered server path must be the copy's path exactly; a path that does not fit the
// classic 260-character buffer is refused, and such a copy, which cannot name its own file,
// takes its type information from the registered type library (US English).
TEST_F(RegistrationTest, CopyInAnOddFolderRegistersItsExactPathWithoutCom)
{
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    std::wstring longFolder = std::wstring(temp) + L"nimbo_module_long_path";
    while (longFolder.size() < MAX_PATH)
        longFolder += L"\\" + std::wstring(60, L'd');
    const struct { std::wstring folder; HRESULT hr; } cases[] = {
        {std::wstring(temp) + L"nimbo_O'Brien's app", S_OK},
        {std::wstring(temp) + L"nimbo Program Files (x86)\\Backup  Tool", S_OK},
        {std::wstring(temp) + L"nimbo_Donn\u00e9es_\u00fcnic\u00f8de_\u0416", S_OK},
        {longFolder, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << c.folder.size() << " characters");
        const std::wstring copy = c.folder + L"\\NimboGuestAgentCtrl.dll";
        util::CopyFileTo(dllPath, copy, true);
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
        EXPECT_EQ(c.hr == S_OK ? std::vector<std::wstring>(3, copy) : std::vector<std::wstring>(3, L"<missing>"), servers);
        if (c.hr != S_OK)
        {
            ASSERT_EQ(S_OK, registerServer());
            util::CComPtr<IClassFactory> factory;
            util::CComPtr<IDispatch> connection;
            ASSERT_EQ(S_OK, reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(reinterpret_cast<void*>(
                                GetProcAddress(copyDll, "DllGetClassObject")))(CLSID_NimboVssGAConnection, IID_IClassFactory,
                                                                             factory.put_void()));
            ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, connection.put_void()));
            LPOLESTR name = const_cast<LPOLESTR>(L"Disconnect");
            DISPID id = 0;
            EXPECT_EQ(S_OK, connection->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
            EXPECT_EQ(0x60020004, id);
        }
        FreeLibrary(copyDll);
        util::RemoveFile(copy);
    }
}
