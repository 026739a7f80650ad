// Upload clean-up on POSIX: identities are device and inode numbers, links are never followed,
// and SIGTERM, SIGINT and SIGHUP delete the remembered files before the process ends.
#include "upload_cleanup.h"

#include "upload_registry.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const int s_signals[] = {SIGTERM, SIGINT, SIGHUP};

std::atomic<bool> s_bHandlersInstalled(false);

// Only lstat and unlink, both async-signal-safe.
bool IsSameFile(const char* szPath, const CUploadIdentity* pIdentity)
{
    struct stat st;
    if (lstat(szPath, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return pIdentity == nullptr ||
           (static_cast<unsigned long long>(st.st_dev) == pIdentity->nVolume &&
            static_cast<unsigned long long>(st.st_ino) == pIdentity->nFile);
}

// Runs at any moment, the file possibly still open for writing: reads the slots without changing
// them, deletes with unlink (the platform's deletion refuses an open file), then ends the process
// as the signal would have.
void OnEndSignal(int nSignal)
{
    int nSavedErrno = errno;
    CUploadSlot* pSlots = KelsioUploadSlots();
    int nUsed = KelsioUploadSlotCount();
    for (int i = 0; i < nUsed; ++i)
    {
        CUploadSlot& slot = pSlots[i];
        int nState = slot.nState.load(std::memory_order_acquire);
        int nFile = slot.nFile.load(std::memory_order_acquire);
        if ((nState != UPLOAD_SLOT_LIVE && nState != UPLOAD_SLOT_REMOVING) ||
            nFile == UPLOAD_FILE_NONE)
            continue;
        const CUploadIdentity* pIdentity =
            nFile == UPLOAD_FILE_IDENTIFIED ? &slot.identity : nullptr;
        if (IsSameFile(slot.szPath, pIdentity))
            unlink(slot.szPath);
    }
    errno = nSavedErrno;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(nSignal, &action, nullptr);
    // Blocked while this handler runs: delivered, with the default action, once it returns.
    raise(nSignal);
}

// A signal the program handles or ignores itself is left to it: its own way of ending runs the
// exit clean-up.
void InstallIfDefault(int nSignal)
{
    struct sigaction current = {};
    if (sigaction(nSignal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
        (current.sa_flags & SA_SIGINFO) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = OnEndSignal;
    sigemptyset(&action.sa_mask);
    for (int nOther : s_signals)
        sigaddset(&action.sa_mask, nOther);
    action.sa_flags = SA_RESTART;
    sigaction(nSignal, &action, nullptr);
}

} // namespace

bool KelsioUploadIdentify(const char* szPath, CUploadIdentity& identity)
{
    struct stat st;
    if (lstat(szPath, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    identity.nVolume = static_cast<unsigned long long>(st.st_dev);
    identity.nFile = static_cast<unsigned long long>(st.st_ino);
    return true;
}

bool KelsioUploadIsRegularFile(const char* szPath)
{
    return IsSameFile(szPath, nullptr);
}

bool KelsioUploadIsSameFile(const char* szPath, const CUploadIdentity* pIdentity)
{
    return IsSameFile(szPath, pIdentity);
}

bool KelsioUploadDeleteUnheld(const char* szPath)
{
    // The platform refuses to delete a file that an open handle holds (its share lock), and
    // never opens a link, FIFO or device to find out.
    return IsSameFile(szPath, nullptr) && DeleteFileA(szPath) != FALSE;
}

void KelsioUploadInstallHandlers()
{
    bool bExpected = false;
    if (!s_bHandlersInstalled.compare_exchange_strong(bExpected, true))
        return;
    for (int nSignal : s_signals)
        InstallIfDefault(nSignal);
}
