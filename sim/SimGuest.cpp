// The simulated guests: reading the description file and the per-process state.
#include "sim/SimGuest.h"

#include <cwchar>
#include <cwctype>
#include <set>

namespace sim {
namespace {

struct SFailure {
    DWORD code = 0;
    unsigned after = 0;    // calls that succeed before the failures start
    unsigned calls = 0;
};

struct SWorld {
    std::recursive_mutex lock;
    std::wstring path;
    FILETIME written = {};
    ULONGLONG size = 0;
    bool loaded = false;
    unsigned generation = 0;
    std::vector<GuestPtr> guests;
    std::map<std::wstring, SFailure> failures;   // "<guest section>/<call>", "/<call>" global
    std::wstring sessionText;
    std::vector<SConnection> session;
    std::set<std::wstring> mapped;               // links made by this process
};

SWorld& World()
{
    static SWorld* world = new SWorld;   // never destroyed: seam calls may come during exit
    return *world;
}

std::wstring Lower(std::wstring s)
{
    for (auto& c : s)
        c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

std::vector<std::wstring> Split(const std::wstring& s, wchar_t sep)
{
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        parts.push_back(Trim(s.substr(start, p == std::wstring::npos ? p : p - start)));
        if (p == std::wstring::npos)
            return parts;
        start = p + 1;
    }
}

DWORD Number(const std::wstring& s)
{
    return static_cast<DWORD>(std::wcstoul(s.c_str(), nullptr, 0));
}

// The symbolic link behind a UNC name needs a Unix path; Wine's kernel32 translates.
std::wstring LinuxPath(const std::wstring& path)
{
    if (path.empty() || path[0] == L'/')
        return path;
    using Translate = char* (CDECL*)(LPCWSTR);
    auto translate = reinterpret_cast<Translate>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = translate ? translate(path.c_str()) : nullptr;
    if (!unix)
        return path;
    std::wstring result;
    int n = MultiByteToWideChar(CP_UTF8, 0, unix, -1, nullptr, 0);
    if (n > 0) {
        result.assign(n - 1, L'\0');
        MultiByteToWideChar(CP_UTF8, 0, unix, -1, &result[0], n);
    }
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

std::wstring Environment(const wchar_t* name)
{
    wchar_t buffer[MAX_PATH * 2];
    DWORD n = GetEnvironmentVariableW(name, buffer, ARRAYSIZE(buffer));
    return n > 0 && n < ARRAYSIZE(buffer) ? std::wstring(buffer, n) : std::wstring();
}

bool ReadText(const std::wstring& path, std::wstring& text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        bytes.append(chunk, got);
    CloseHandle(file);

    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        // UTF-16, as the script host's text files write it when asked for Unicode.
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
        return true;
    }
    size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data() + skip,
                                static_cast<int>(bytes.size() - skip), nullptr, 0);
    text.assign(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data() + skip, static_cast<int>(bytes.size() - skip),
                        &text[0], n);
    return true;
}

void ParseFailure(SWorld& w, const std::wstring& prefix, const std::wstring& call,
                  const std::wstring& value)
{
    SFailure f;
    std::vector<std::wstring> words = Split(value, L' ');
    f.code = Number(words[0]);
    for (size_t i = 1; i + 1 < words.size(); ++i)
        if (EqualNoCase(words[i], L"after"))
            f.after = Number(words[i + 1]);
    w.failures[Lower(prefix + L"/" + call)] = f;
}

bool ParseGuid(const std::wstring& text, GUID& guid)
{
    std::wstring s = text;
    if (!s.empty() && s.front() == L'{')
        s = s.substr(1, s.size() - 2);
    return UuidFromStringW(reinterpret_cast<RPC_WSTR>(&s[0]), &guid) == RPC_S_OK;
}

void ParseRegValue(SGuest& g, const std::wstring& value)
{
    std::vector<std::wstring> p = Split(value, L'|');
    if (p.size() < 4)
        return;
    SRegValue v;
    v.key = p[0];
    v.name = p[1];
    std::wstring type = p[2];
    std::wstring data = value.substr(value.find(L'|', value.find(L'|', value.find(L'|') + 1) + 1) + 1);
    data = Trim(data);
    static const std::pair<const wchar_t*, DWORD> types[] = {
        {L"REG_SZ", REG_SZ}, {L"REG_EXPAND_SZ", REG_EXPAND_SZ}, {L"REG_BINARY", REG_BINARY},
        {L"REG_DWORD", REG_DWORD}, {L"REG_MULTI_SZ", REG_MULTI_SZ}, {L"REG_QWORD", REG_QWORD}};
    v.type = Number(type);
    for (const auto& t : types)
        if (EqualNoCase(type, t.first))
            v.type = t.second;
    if (data.compare(0, 4, L"hex:") == 0) {
        for (const auto& byte : Split(data.substr(4), L' '))
            if (!byte.empty())
                v.data.push_back(static_cast<BYTE>(std::wcstoul(byte.c_str(), nullptr, 16)));
    } else if (v.type == REG_DWORD) {
        DWORD n = Number(data);
        v.data.assign(reinterpret_cast<BYTE*>(&n), reinterpret_cast<BYTE*>(&n) + sizeof n);
    } else {
        // Strings are stored with their terminating zero; a multi-string splits at ';'.
        std::wstring s = data;
        if (v.type == REG_MULTI_SZ) {
            for (auto& c : s)
                if (c == L';')
                    c = L'\0';
            s.push_back(L'\0');
        }
        s.push_back(L'\0');
        v.data.assign(reinterpret_cast<const BYTE*>(s.data()),
                      reinterpret_cast<const BYTE*>(s.data() + s.size()));
    }
    g.registry.push_back(v);
}

void ParseService(SGuest& g, const std::wstring& value)
{
    SService s;
    s.fields = Split(value, L'|');
    s.name = s.fields[0];
    if (s.fields.size() > 1) {
        static const std::pair<const wchar_t*, DWORD> states[] = {
            {L"stopped", SERVICE_STOPPED}, {L"start_pending", SERVICE_START_PENDING},
            {L"stop_pending", SERVICE_STOP_PENDING}, {L"running", SERVICE_RUNNING}};
        s.state = Number(s.fields[1]);
        for (const auto& st : states)
            if (EqualNoCase(s.fields[1], st.first))
                s.state = st.second;
    }
    g.services.push_back(s);
}

void ParseEndpoint(SGuest& g, const std::wstring& value)
{
    std::vector<std::wstring> p = Split(value, L'|');
    if (p.size() < 3)
        return;
    SEndpoint e;
    if (!ParseGuid(p[0], e.ifId.Uuid))
        return;
    std::vector<std::wstring> version = Split(p[1], L'.');
    e.ifId.VersMajor = static_cast<unsigned short>(Number(version[0]));
    e.ifId.VersMinor = static_cast<unsigned short>(version.size() > 1 ? Number(version[1]) : 0);
    e.binding = p[2];
    e.annotation = p.size() > 3 ? p[3] : std::wstring();
    g.endpoints.push_back(e);
}

void ApplyGuestKey(SWorld& w, SGuest& g, const std::wstring& key, const std::wstring& value)
{
    g.entries.emplace_back(key, value);
    if (key == L"alias") {
        g.names.push_back(value);
    } else if (key == L"admin_share") {
        g.adminFolder = LinuxPath(value);
    } else if (key == L"share_path") {
        g.shareLocalPath = value;
    } else if (key == L"account") {
        std::vector<std::wstring> p = Split(value, L'|');
        SAccount a;
        size_t slash = p[0].find(L'\\');
        a.domain = slash == std::wstring::npos ? std::wstring() : p[0].substr(0, slash);
        a.user = slash == std::wstring::npos ? p[0] : p[0].substr(slash + 1);
        // The password is everything after the first '|', spaces included except the outer ones.
        size_t bar = value.find(L'|');
        a.password = bar == std::wstring::npos ? std::wstring() : Trim(value.substr(bar + 1));
        g.accounts.push_back(a);
    } else if (key == L"default_credentials") {
        g.acceptDefaultCredentials = EqualNoCase(value, L"accept");
    } else if (key == L"os_version") {
        std::vector<std::wstring> v = Split(value, L'.');
        g.versionMajor = Number(v[0]);
        g.versionMinor = v.size() > 1 ? Number(v[1]) : 0;
    } else if (key == L"server_type") {
        g.serverType = Number(value);
    } else if (key == L"platform_id") {
        g.platformId = Number(value);
    } else if (key == L"comment") {
        g.comment = value;
    } else if (key == L"reg") {
        ParseRegValue(g, value);
    } else if (key == L"service") {
        ParseService(g, value);
    } else if (key == L"endpoint") {
        ParseEndpoint(g, value);
    } else if (key == L"endpoint_map") {
        g.endpointMapStatus = EqualNoCase(value, L"on") ? RPC_S_OK : Number(value);
        g.endpointMapGiven = true;
    } else if (key.compare(0, 5, L"fail.") == 0) {
        ParseFailure(w, g.section, key.substr(5), value);
    }
}

SConnection ParseConnection(const std::wstring& value)
{
    SConnection c;
    std::vector<std::wstring> words = Split(value, L' ');
    if (EqualNoCase(words[0], L"(none)"))
        c.hasRemoteName = false;
    else
        c.remoteName = words[0];
    for (size_t i = 1; i < words.size(); ++i) {
        size_t eq = words[i].find(L'=');
        if (eq == std::wstring::npos)
            continue;
        std::wstring k = Lower(words[i].substr(0, eq)), v = words[i].substr(eq + 1);
        if (k == L"user")
            c.user = v;
        else if (k == L"local")
            c.localName = v;
        else if (k == L"cancel")
            c.cancelError = Number(v);
    }
    return c;
}

void Parse(SWorld& w, const std::wstring& text, bool newFile)
{
    w.guests.clear();
    w.failures.clear();
    std::shared_ptr<SGuest> guest;
    std::wstring section, sessionText;
    std::vector<SConnection> session;

    auto finishGuest = [&] {
        if (guest) {
            guest->shortName = guest->names[0].substr(0, guest->names[0].find(L'.'));
            // A guest that has endpoints, or can run agents, has an endpoint mapper that answers.
            if (!guest->endpointMapGiven && (!guest->endpoints.empty() || !guest->adminFolder.empty()))
                guest->endpointMapStatus = RPC_S_OK;
            w.guests.push_back(guest);
        }
        guest.reset();
    };

    for (const auto& raw : Split(text, L'\n')) {
        std::wstring line = Trim(raw);
        if (line.empty() || line[0] == L'#' || line[0] == L';')
            continue;
        if (line.front() == L'[' && line.back() == L']') {
            finishGuest();
            std::wstring header = Trim(line.substr(1, line.size() - 2));
            section = Lower(header.substr(0, header.find(L' ')));
            if (section == L"guest") {
                guest = std::make_shared<SGuest>();
                guest->section = Trim(header.substr(5));
                guest->names.push_back(guest->section);
            }
            continue;
        }
        size_t eq = line.find(L'=');
        if (eq == std::wstring::npos)
            continue;
        std::wstring key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        if (guest) {
            ApplyGuestKey(w, *guest, Lower(key), value);
        } else if (section == L"fail") {
            ParseFailure(w, std::wstring(), key, value);
        } else if (section == L"session" && EqualNoCase(key, L"connection")) {
            sessionText += value + L"\n";
            session.push_back(ParseConnection(value));
        }
    }
    finishGuest();

    // The connection list follows the file when it is another file or its list changed, so
    // that the connections this process made survive an unrelated edit of a guest.
    if (newFile || sessionText != w.sessionText) {
        w.sessionText = sessionText;
        w.session = session;
    }
}

}  // namespace

std::wstring Trim(const std::wstring& s, const wchar_t* chars)
{
    size_t b = s.find_first_not_of(chars);
    if (b == std::wstring::npos)
        return std::wstring();
    size_t e = s.find_last_not_of(chars);
    return s.substr(b, e - b + 1);
}

// A Linux path passes through Wine's Z: drive.
std::wstring WindowsPath(const std::wstring& path)
{
    if (path.empty() || path[0] != L'/')
        return path;
    std::wstring result = L"Z:" + path;
    for (auto& c : result)
        if (c == L'/')
            c = L'\\';
    return result;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b)
{
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring StripBackslashes(const std::wstring& name)
{
    size_t b = name.find_first_not_of(L'\\');
    return b == std::wstring::npos ? std::wstring() : name.substr(b);
}

std::wstring HostOf(const std::wstring& uncName)
{
    if (uncName.size() < 3 || uncName[0] != L'\\' || uncName[1] != L'\\')
        return std::wstring();
    std::wstring rest = uncName.substr(2);
    return rest.substr(0, rest.find(L'\\'));
}

bool SGuest::Answers(const std::wstring& name) const
{
    std::wstring n = StripBackslashes(name);
    if (n.empty())
        return false;
    if (EqualNoCase(n, shortName))
        return true;
    for (const auto& own : names)
        if (EqualNoCase(n, own))
            return true;
    return false;
}

std::vector<std::wstring> SGuest::Values(const std::wstring& key) const
{
    std::vector<std::wstring> values;
    for (const auto& e : entries)
        if (EqualNoCase(e.first, key))
            values.push_back(e.second);
    return values;
}

std::unique_lock<std::recursive_mutex> WorldLock()
{
    return std::unique_lock<std::recursive_mutex>(World().lock);
}

bool Refresh()
{
    auto guard = WorldLock();
    SWorld& w = World();
    std::wstring path = WindowsPath(Environment(L"NIMBO_SIM_GUESTS"));
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    bool exists = !path.empty() && GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (!exists) {
        if (w.loaded || !w.path.empty()) {
            Parse(w, std::wstring(), true);
            w.loaded = false;
            w.path.clear();
            ++w.generation;
        }
        return false;
    }
    if (w.loaded && path == w.path && size == w.size &&
        CompareFileTime(&data.ftLastWriteTime, &w.written) == 0)
        return true;
    std::wstring text;
    if (!ReadText(path, text))
        return w.loaded;
    Parse(w, text, path != w.path);
    w.path = path;
    w.size = size;
    w.written = data.ftLastWriteTime;
    w.loaded = true;
    ++w.generation;
    return true;
}

unsigned Generation()
{
    auto guard = WorldLock();
    Refresh();
    return World().generation;
}

GuestPtr FindGuest(const std::wstring& host)
{
    auto guard = WorldLock();
    Refresh();
    for (const auto& g : World().guests)
        if (g->Answers(host))
            return g;
    return nullptr;
}

std::vector<GuestPtr> Guests()
{
    auto guard = WorldLock();
    Refresh();
    return World().guests;
}

bool InjectedFailure(const wchar_t* call, const SGuest* guest, DWORD& code)
{
    auto guard = WorldLock();
    Refresh();
    auto& failures = World().failures;
    bool fail = false;
    for (const std::wstring& prefix : {guest ? guest->section : std::wstring(L"\x1"), std::wstring()}) {
        auto it = failures.find(Lower(prefix + L"/" + call));
        if (it == failures.end())
            continue;
        if (++it->second.calls > it->second.after && !fail) {
            fail = true;
            code = it->second.code;
        }
    }
    return fail;
}

std::vector<SConnection>& Session()
{
    Refresh();
    return World().session;
}

void MapAdminShare(const SGuest& guest)
{
    if (guest.adminFolder.empty())
        return;
    auto guard = WorldLock();
    std::wstring prefix = Environment(L"WINEPREFIX");
    if (prefix.empty())
        prefix = Environment(L"HOME") + L"/.wine";
    std::wstring unc = prefix + L"/dosdevices/unc";
    CreateDirectoryW(WindowsPath(unc).c_str(), nullptr);

    std::vector<std::wstring> names = guest.names;
    names.push_back(guest.shortName);
    for (const auto& name : names) {
        std::wstring dir = unc + L"/" + Lower(name);
        std::wstring link = dir + L"/ADMIN$";
        if (!World().mapped.insert(link + L"\n" + guest.adminFolder).second)
            continue;
        CreateDirectoryW(WindowsPath(dir).c_str(), nullptr);
        // Wine cannot make a Unix symbolic link through the Windows API; ln can, and Wine
        // starts Unix programs.
        std::wstring command = L"ln -sfn \"" + guest.adminFolder + L"\" \"" + link + L"\"";
        STARTUPINFOW si = {sizeof si};
        PROCESS_INFORMATION pi = {};
        if (CreateProcessW(L"Z:\\bin\\ln", &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                           nullptr, &si, &pi)) {
            CloseHandle(pi.hThread);
            CloseHandle(pi.hProcess);
        }
        // A Unix child's handle may be signalled before it has run: wait for the link itself.
        std::wstring windowsLink = WindowsPath(link);
        for (int i = 0; i < 200 && GetFileAttributesW(windowsLink.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
            Sleep(10);
    }
}

}  // namespace sim
