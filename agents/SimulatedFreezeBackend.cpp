// The freeze backend of the plugin's test build (see FreezeBackends.h). Never part of a
// shipped plugin.
#include "agents/FreezeBackends.h"

#include <cstdlib>
#include <fstream>

namespace agent
{
namespace
{
std::wstring Trim(const std::wstring& s)
{
    const size_t first = s.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos)
        return std::wstring();
    return s.substr(first, s.find_last_not_of(L" \t\r\n") - first + 1);
}

class CSimulatedBackend : public IFreezeBackend
{
public:
    explicit CSimulatedBackend(std::wstring agentFolder) : m_settings(std::move(agentFolder) + L"\\SimulatedFreeze.txt") {}

    void Freeze() override
    {
        Read();
        Sleep(m_prepareMs);
        // Held: preparing until the line is gone from the file (a test lets go when it has
        // looked at the state), ten minutes at most.
        for (int polls = 0; m_hold && polls < 12000; ++polls)
        {
            Sleep(50);
            Read();
        }
        if (m_fails)
            throw SFreezeFailure{m_error, m_description};
    }
    void Thaw() noexcept override {}
    DWORD MaxFrozenMs() const override { return m_maxFrozenMs; }

private:
    void Read()
    {
        m_prepareMs = 0;
        m_hold = false;
        m_fails = false;
        m_maxFrozenMs = IFreezeBackend::MaxFrozenMs();
        std::ifstream file(m_settings.c_str());
        std::string line;
        while (std::getline(file, line))
        {
            const std::wstring text(line.begin(), line.end());
            const size_t eq = text.find(L'=');
            if (eq == std::wstring::npos)
                continue;
            const std::wstring key = Trim(text.substr(0, eq));
            const std::wstring value = Trim(text.substr(eq + 1));
            if (key == L"prepare_ms")
                m_prepareMs = std::wcstoul(value.c_str(), nullptr, 0);
            else if (key == L"prepare")
                m_hold = value == L"hold";
            else if (key == L"max_frozen_ms")
                m_maxFrozenMs = std::wcstoul(value.c_str(), nullptr, 0);
            else if (key == L"error")
            {
                const size_t bar = value.find(L'|');
                m_fails = true;
                m_error = static_cast<HRESULT>(std::wcstoul(value.substr(0, bar).c_str(), nullptr, 0));
                m_description = bar == std::wstring::npos ? std::wstring() : Trim(value.substr(bar + 1));
            }
        }
    }

    std::wstring m_settings;
    DWORD m_prepareMs = 0;
    bool m_hold = false;
    DWORD m_maxFrozenMs = 0;
    bool m_fails = false;
    HRESULT m_error = S_OK;
    std::wstring m_description;
};
}

std::unique_ptr<IFreezeBackend> CreateSimulatedBackend(const std::wstring& agentFolder)
{
    return std::make_unique<CSimulatedBackend>(agentFolder);
}
}
