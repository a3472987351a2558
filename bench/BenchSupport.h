#pragma once
// What the benchmark programs share: a clock, series of timings, and the simulated guest they
// work on (a 64-bit server 6.0 whose ADMIN$ is a local folder).
#include <windows.h>

#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/Exc.h"
#include "foundation/FileSystem.h"

namespace bench
{
const wchar_t kHost[] = L"benchguest";
const wchar_t kLogin[] = L"BENCH\\admin";
const wchar_t kPassword[] = L"Bench-Pa55";

// Milliseconds since an arbitrary start, from the performance counter.
inline double Now()
{
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Milliseconds of one kind of work over all rounds.
struct SSeries
{
    const char* name;
    std::vector<double> ms;

    double Median() const
    {
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        return sorted.empty() ? 0.0 : sorted[sorted.size() / 2];
    }
    double Mean() const
    {
        double sum = 0;
        for (double v : ms)
            sum += v;
        return ms.empty() ? 0.0 : sum / static_cast<double>(ms.size());
    }
};

inline std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// Describes the guest (its share is `share`) in `work`\guests.ini and points the simulation at
// it.
inline void WriteGuests(const std::wstring& work, const std::wstring& share)
{
    const std::wstring path = util::JoinPath(work, L"guests.ini");
    std::ofstream file(Narrow(path), std::ios::binary | std::ios::trunc);
    file << "[guest " << Narrow(kHost) << "]\n"
         << "admin_share = " << Narrow(share) << "\n"
         << "account = " << Narrow(kLogin) << " | " << Narrow(kPassword) << "\n"
         << "os_version = 6.0\nserver_type = 0x8003\n"
         << "reg = SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment | "
            "PROCESSOR_ARCHITECTURE | REG_SZ | AMD64\n";
    SetEnvironmentVariableW(L"NIMBO_SIM_GUESTS", path.c_str());
}

// The benchmark's main: "<program> <package folder> <work folder> [rounds]". `run` gets the
// package folder, the work folder and the number of rounds, in a COM apartment (the installer
// writes the configuration file through MSXML, as inside a client's apartment).
template <class Run>
int Main(int argc, wchar_t** argv, const char* program, int defaultRounds, Run run)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: %s <package folder> <work folder> [rounds]\n", program);
        return 2;
    }
    const int rounds = argc > 3 ? std::max(1, _wtoi(argv[3])) : defaultRounds;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    try
    {
        return run(argv[1], argv[2], rounds);
    }
    catch (const CExc& e)
    {
        std::fprintf(stderr, "benchmark failed:\n%ls\n", e.GetFullText().c_str());
        return 1;
    }
}
}
