// The endpoint map of a simulated guest follows the agents that really run from its share.
// Each agent logs beside its executable; a run starts with the line
//   Guest agent 1.0.0.1 (x64) starting ..., process 1244, folder [...].
// and announces every binding it registers or takes back (agents/RpcServerHost.cpp):
//   Endpoint registered: interface {uuid} 1.0, binding [ncacn_ip_tcp:[49157]], annotation [Svc].
//   Endpoint unregistered: interface {uuid} 1.0, binding [ncacn_ip_tcp:[49157]].
// The registrations of a log's last run count while that process lives.
#include "sim/SimEndpoints.h"

#include "foundation/Handle.h"

#include <cwchar>

namespace sim {
namespace {

bool Alive(DWORD processId)
{
    util::CKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return process && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

// The text between `open` (searched from `from`) and the next `close`; false when either is
// missing. `from` moves past `close`.
bool Between(const std::wstring& line, size_t& from, const std::wstring& open, const std::wstring& close,
             std::wstring& text)
{
    const size_t start = line.find(open, from);
    const size_t end = start == std::wstring::npos ? start : line.find(close, start + open.size());
    if (end == std::wstring::npos)
        return false;
    text = line.substr(start + open.size(), end - start - open.size());
    from = end + close.size();
    return true;
}

// An agent's binding as a client elsewhere uses it: the agent registers its endpoints without
// network address, and the guest's agents run on this machine.
std::wstring Reachable(const std::wstring& binding)
{
    RPC_WSTR protocol = nullptr, address = nullptr, endpoint = nullptr;
    std::wstring text = binding, result = binding;
    if (RpcStringBindingParseW(reinterpret_cast<RPC_WSTR>(&text[0]), nullptr, &protocol, &address, &endpoint,
                               nullptr) != RPC_S_OK)
        return result;
    RPC_WSTR composed = nullptr;
    wchar_t loopback[] = L"127.0.0.1";
    if ((!address || !*address) &&
        RpcStringBindingComposeW(nullptr, protocol, reinterpret_cast<RPC_WSTR>(loopback), endpoint, nullptr,
                                 &composed) == RPC_S_OK) {
        result = reinterpret_cast<wchar_t*>(composed);
        RpcStringFreeW(&composed);
    }
    RpcStringFreeW(&protocol);
    RpcStringFreeW(&address);
    RpcStringFreeW(&endpoint);
    return result;
}

void ApplyLine(const std::wstring& line, std::vector<SEndpoint>& endpoints)
{
    const bool registered = line.find(L"Endpoint registered: interface ") != std::wstring::npos;
    if (!registered && line.find(L"Endpoint unregistered: interface ") == std::wstring::npos)
        return;
    SEndpoint e;
    std::wstring uuid, version, binding;
    size_t at = 0;
    if (!Between(line, at, L"{", L"} ", uuid) || !Between(line, at, L"", L", binding [", version) ||
        UuidFromStringW(reinterpret_cast<RPC_WSTR>(&uuid[0]), &e.ifId.Uuid) != RPC_S_OK)
        return;
    wchar_t* minor = nullptr;
    e.ifId.VersMajor = static_cast<unsigned short>(std::wcstoul(version.c_str(), &minor, 10));
    e.ifId.VersMinor = static_cast<unsigned short>(*minor == L'.' ? std::wcstoul(minor + 1, nullptr, 10) : 0);
    if (registered ? !Between(line, at, L"", L"], annotation [", binding) || !Between(line, at, L"", L"].", e.annotation)
                   : !Between(line, at, L"", L"].", binding))
        return;
    e.binding = Reachable(binding);
    for (auto it = endpoints.begin(); it != endpoints.end(); ++it)
        if (it->binding == e.binding && IsEqualGUID(it->ifId.Uuid, e.ifId.Uuid)) {
            endpoints.erase(it);
            break;
        }
    if (registered)
        endpoints.push_back(e);
}

// The registrations of the log's last run, when its process still runs.
void ReadAgentLog(const std::wstring& path, std::vector<SEndpoint>& endpoints)
{
    const std::wstring text = ReadUtf8File(path);
    const std::wstring marker = L") starting ";
    const size_t run = text.rfind(marker);
    if (run == std::wstring::npos)
        return;
    size_t at = run;
    std::wstring process;
    if (!Between(text, at, L", process ", L",", process) || !Alive(std::wcstoul(process.c_str(), nullptr, 10)))
        return;
    for (size_t from = text.find(L'\n', run); from != std::wstring::npos && from + 1 < text.size();) {
        const size_t end = text.find(L'\n', from + 1);
        if (end == std::wstring::npos)
            break;   // a line still being written
        ApplyLine(text.substr(from + 1, end - from - 1), endpoints);
        from = end;
    }
}

}  // namespace

std::wstring ReadUtf8File(const std::wstring& path)
{
    util::CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (file && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    std::wstring text(MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0),
                      L'\0');
    if (!text.empty())
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                            static_cast<int>(text.size()));
    return text;
}

std::vector<SEndpoint> AgentEndpoints(const SGuest& guest)
{
    std::vector<SEndpoint> endpoints;
    if (guest.adminFolder.empty())
        return endpoints;
    // Agents run from a folder right below the share (the installer's agent folders).
    const std::wstring share = WindowsPath(guest.adminFolder);
    WIN32_FIND_DATAW folder;
    util::CFindHandle folders(FindFirstFileW((share + L"\\*").c_str(), &folder));
    for (bool more = folders.valid(); more; more = FindNextFileW(folders.get(), &folder) != FALSE) {
        const std::wstring name = folder.cFileName;
        if (!(folder.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name == L"." || name == L"..")
            continue;
        WIN32_FIND_DATAW log;
        util::CFindHandle logs(FindFirstFileW((share + L"\\" + name + L"\\*.log").c_str(), &log));
        for (bool any = logs.valid(); any; any = FindNextFileW(logs.get(), &log) != FALSE)
            ReadAgentLog(share + L"\\" + name + L"\\" + log.cFileName, endpoints);
    }
    return endpoints;
}

}  // namespace sim
