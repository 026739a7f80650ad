// Cost of VerifyVirusFolderSize as the quarantine folder grows. With a fresh size cache it is
// one 8-byte read and must not grow with the folder; with a stale one it is one flat listing
// pass and a rewrite, so it grows with the number of entries and nothing more. The update of an
// admitted upload (updateFolderSize, fresh cache) holds ".store", reads it and rewrites its 8
// bytes in place, and must not grow with the folder either. Prints a table:
//   build/release/bin/quarantine_bench
#include "quarantine.h"
#include "system_calls.h"

#include "platform.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace
{

double Seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// "Now" a day ahead of the clock, so that every size cache is past its life.
void WINAPI DayAhead(LPFILETIME pTime)
{
    GetSystemTimeAsFileTime(pTime);
    uint64_t nNow = (static_cast<uint64_t>(pTime->dwHighDateTime) << 32) | pTime->dwLowDateTime;
    nNow += 86400ull * 10000000ull;
    pTime->dwLowDateTime = static_cast<DWORD>(nNow & 0xffffffffu);
    pTime->dwHighDateTime = static_cast<DWORD>(nNow >> 32);
}

void FillFolder(const fs::path& folder, int nFiles)
{
    fs::create_directories(folder);
    for (int i = 0; i < nFiles; ++i)
    {
        std::ofstream file(folder / ("PC7_1700000000." + std::to_string(i)), std::ios::binary);
        file << "x";
    }
}

// Average seconds of one capacity check over nCalls.
double TimeChecks(int nCalls)
{
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < nCalls; ++i)
    {
        if (!VerifyVirusFolderSize(1))
        {
            fprintf(stderr, "capacity check failed\n");
            exit(1);
        }
    }
    return Seconds(start) / nCalls;
}

// Average seconds of one size update over nCalls.
double TimeUpdates(int nCalls)
{
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < nCalls; ++i)
    {
        if (!updateFolderSize(1))
        {
            fprintf(stderr, "size update failed\n");
            exit(1);
        }
    }
    return Seconds(start) / nCalls;
}

} // namespace

int main()
{
    fs::path home =
        fs::temp_directory_path() / ("quarantine-bench-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(home);
    // No log server: the trace gate closes after the first failed send.
    setenv("VENDREL_PIPE_DIR", (home / "no-pipes").string().c_str(), 1);
    setenv("KELSIO_HOME", home.string().c_str(), 1);

    printf("%10s  %16s  %16s  %16s  %16s\n", "files", "fresh (us/call)", "stale (ms/call)",
           "stale (ns/entry)", "update (us/call)");
    for (int nFiles : {10, 10000, 100000})
    {
        fs::path folder = home / ("Q" + std::to_string(nFiles));
        FillFolder(folder, nFiles);
        std::ofstream(home / "server.ini")
            << "[INI_SERVER_SECTION]\nQuarantine_Folder=" << folder.string() << "\n";

        SetSystemCall("GetSystemTimeAsFileTime", NULL);
        VerifyVirusFolderSize(1); // writes the cache
        double dFresh = TimeChecks(2000);
        double dUpdate = TimeUpdates(2000);

        SetSystemCall("GetSystemTimeAsFileTime", (SYSTEM_CALL_PTR)DayAhead);
        int nStaleCalls = nFiles >= 100000 ? 5 : (nFiles >= 10000 ? 20 : 2000);
        double dStale = TimeChecks(nStaleCalls);
        SetSystemCall("GetSystemTimeAsFileTime", NULL);

        printf("%10d  %16.1f  %16.3f  %16.1f  %16.1f\n", nFiles, dFresh * 1e6, dStale * 1e3,
               dStale * 1e9 / (nFiles + 3), dUpdate * 1e6);
        fs::remove_all(folder);
    }
    fs::remove_all(home);
    return 0;
}
