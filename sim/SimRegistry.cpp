// The simulated guests' remote registry and server information.
#include "sim/SimRegistry.h"

#include <cstring>
#include <set>

namespace sim {
namespace {

struct SKey {
    std::wstring section;   // the guest's section name
    std::wstring path;      // below HKEY_LOCAL_MACHINE, without leading or trailing backslashes
};

std::set<SKey*>& Keys()
{
    static auto* keys = new std::set<SKey*>;   // never destroyed: keys may be closed during exit
    return *keys;
}

SKey* Live(HKEY key)
{
    auto* k = reinterpret_cast<SKey*>(key);
    return k && Keys().count(k) ? k : nullptr;
}

HKEY NewKey(const std::wstring& section, const std::wstring& path)
{
    auto* k = new SKey{section, path};
    Keys().insert(k);
    return reinterpret_cast<HKEY>(k);
}

std::wstring Trimmed(const std::wstring& path)
{
    return Trim(path, L"\\");
}

std::wstring Join(const std::wstring& parent, const std::wstring& child)
{
    if (parent.empty())
        return child;
    if (child.empty())
        return parent;
    return parent + L"\\" + child;
}

// A key exists when a value of the description lies in it or in a key below it.
bool KeyExists(const SGuest& guest, const std::wstring& path)
{
    if (path.empty())
        return true;
    for (const auto& v : guest.registry) {
        std::wstring key = Trimmed(v.key);
        if (EqualNoCase(key, path))
            return true;
        if (key.size() > path.size() && key[path.size()] == L'\\' &&
            EqualNoCase(key.substr(0, path.size()), path))
            return true;
    }
    return false;
}

}  // namespace

LSTATUS RegConnect(const GuestPtr& guest, LPCWSTR, HKEY key, PHKEY result)
{
    auto guard = WorldLock();
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (!guest)
        return ERROR_BAD_NETPATH;
    if (key != HKEY_LOCAL_MACHINE)
        return ERROR_INVALID_HANDLE;
    *result = NewKey(guest->section, std::wstring());
    return ERROR_SUCCESS;
}

LSTATUS RegOpenKey(HKEY key, LPCWSTR subKey, DWORD, REGSAM, PHKEY result)
{
    auto guard = WorldLock();
    if (!result)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    SKey* parent = Live(key);
    if (!parent)
        return ERROR_INVALID_HANDLE;
    GuestPtr guest = FindGuest(parent->section);
    if (!guest)
        return ERROR_INVALID_HANDLE;
    std::wstring path = Join(parent->path, Trimmed(subKey ? subKey : L""));
    if (!KeyExists(*guest, path))
        return ERROR_FILE_NOT_FOUND;
    *result = NewKey(parent->section, path);
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValue(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize)
{
    auto guard = WorldLock();
    SKey* k = Live(key);
    if (!k)
        return ERROR_INVALID_HANDLE;
    if (reserved || (data && !dataSize))
        return ERROR_INVALID_PARAMETER;
    GuestPtr guest = FindGuest(k->section);
    if (!guest)
        return ERROR_INVALID_HANDLE;
    std::wstring name = valueName ? valueName : L"";
    for (const auto& v : guest->registry) {
        if (!EqualNoCase(Trimmed(v.key), k->path) || !EqualNoCase(v.name, name))
            continue;
        DWORD size = static_cast<DWORD>(v.data.size());
        if (type)
            *type = v.type;
        if (data && *dataSize < size) {
            *dataSize = size;
            return ERROR_MORE_DATA;
        }
        if (data && size)
            std::memcpy(data, v.data.data(), size);
        if (dataSize)
            *dataSize = size;
        return ERROR_SUCCESS;
    }
    return ERROR_FILE_NOT_FOUND;
}

LSTATUS RegClose(HKEY key)
{
    auto guard = WorldLock();
    SKey* k = Live(key);
    if (!k)
        return ERROR_INVALID_HANDLE;
    Keys().erase(k);
    delete k;
    return ERROR_SUCCESS;
}

GuestPtr RegKeyGuest(HKEY key)
{
    auto guard = WorldLock();
    SKey* k = Live(key);
    return k ? FindGuest(k->section) : nullptr;
}

unsigned RegOpenKeyCount()
{
    auto guard = WorldLock();
    return static_cast<unsigned>(Keys().size());
}

NET_API_STATUS ServerGetInfo(const GuestPtr& guest, LMSTR, DWORD level, LPBYTE* buffer)
{
    if (!buffer)
        return ERROR_INVALID_PARAMETER;
    *buffer = nullptr;
    if (!guest)
        return ERROR_BAD_NETPATH;
    if (level != 100 && level != 101)
        return ERROR_INVALID_LEVEL;
    const std::wstring& name = guest->names[0];
    DWORD size = static_cast<DWORD>(sizeof(SERVER_INFO_101) +
                                    (name.size() + guest->comment.size() + 2) * sizeof(wchar_t));
    LPVOID memory = nullptr;
    if (NET_API_STATUS status = ::NetApiBufferAllocate(size, &memory))
        return status;
    auto* info = static_cast<SERVER_INFO_101*>(memory);
    *info = SERVER_INFO_101{};
    auto* text = reinterpret_cast<wchar_t*>(info + 1);
    std::memcpy(text, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    info->sv101_name = text;
    text += name.size() + 1;
    std::memcpy(text, guest->comment.c_str(), (guest->comment.size() + 1) * sizeof(wchar_t));
    // SERVER_INFO_100 is the start of SERVER_INFO_101, so one record serves both levels.
    info->sv101_platform_id = guest->platformId;
    info->sv101_version_major = guest->versionMajor;
    info->sv101_version_minor = guest->versionMinor;
    info->sv101_type = guest->serverType;
    info->sv101_comment = text;
    *buffer = static_cast<LPBYTE>(memory);
    return NERR_Success;
}

}  // namespace sim
