#pragma once
// What the console plugin takes from "RemoteConsoleCfg.xml" in the agent's folder: the version
// it answers, the versions it declares itself compatible with, and the program a console start
// runs. Read once when the plugin starts; reading needs COM on the calling thread (MSXML).

#include <windows.h>
#include <string>
#include <vector>

namespace agent
{
struct SRcVersion
{
    unsigned short major = 0, minor = 0, revision = 0, build = 0;

    // Exactly four dotted decimal parts, each up to 65535; false otherwise.
    static bool Parse(const std::wstring& text, SRcVersion& version);
    std::wstring Text() const;
    bool operator<(const SRcVersion& o) const noexcept;
    bool operator==(const SRcVersion& o) const noexcept;
};

struct SRcSettings
{
    std::wstring serviceName;
    bool autoUninstall = true;
    SRcVersion version;
    std::vector<SRcVersion> compatibility;   // ascending, without repeats
    std::wstring relativePath;               // the console program, below the agent's folder
    std::wstring cmdLine;                    // its arguments when a start names none
    std::wstring workingDir;                 // below the agent's folder; empty: the folder itself

    // Throws CAgentError (ConfigUnreadable) naming the file and what is wrong with it.
    static SRcSettings Load(const std::wstring& path);
};
}
