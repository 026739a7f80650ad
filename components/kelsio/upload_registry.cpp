#include "upload_registry.h"

#include <cstring>

namespace
{

// Static storage starts zeroed: every slot is free before any code runs.
CUploadSlot s_slots[KELSIO_MAX_UPLOADS];

// The owner of files whose deletion failed once; the next removal of all files tries again.
const char s_orphanOwner = 0;

bool TakeSlot(CUploadSlot& slot, int nFrom, int nTo)
{
    int nExpected = nFrom;
    return slot.nState.compare_exchange_strong(nExpected, nTo, std::memory_order_acq_rel);
}

// Deletes the file of a slot this thread holds in UPLOAD_SLOT_REMOVING; false when it is still
// there and ours (a handle of the program may keep it).
bool DeleteSlotFile(CUploadSlot& slot)
{
    int nFile = slot.nFile.load(std::memory_order_acquire);
    if (nFile == UPLOAD_FILE_NONE)
        return true;
    const CUploadIdentity* pIdentity = nFile == UPLOAD_FILE_IDENTIFIED ? &slot.identity : nullptr;
    // Moved away, deleted, or its name taken by something else: nothing of ours is left there.
    if (!KelsioUploadIsSameFile(slot.szPath, pIdentity))
        return true;
    if (DeleteFileA(slot.szPath))
        return true;
    DWORD dwError = GetLastError();
    return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
}

// The process ends normally: whatever the program did not take goes, also when it never freed
// its variable array.
struct CUploadExitCleanup
{
    ~CUploadExitCleanup() { KelsioUploadRemove(nullptr); }
};
CUploadExitCleanup s_exitCleanup;

} // namespace

int KelsioUploadReserve(const void* pOwner, const char* szPath)
{
    size_t nLength = strlen(szPath);
    if (pOwner == nullptr || nLength >= MAX_PATH)
        return -1;
    KelsioUploadInstallHandlers();
    for (int i = 0; i < KELSIO_MAX_UPLOADS; ++i)
    {
        CUploadSlot& slot = s_slots[i];
        if (!TakeSlot(slot, UPLOAD_SLOT_FREE, UPLOAD_SLOT_FILLING))
            continue;
        memcpy(slot.szPath, szPath, nLength + 1);
        slot.nFile.store(UPLOAD_FILE_NONE, std::memory_order_relaxed);
        slot.pOwner.store(pOwner, std::memory_order_relaxed);
        // Live before the file exists, so that the file is recorded the moment it is made.
        slot.nState.store(UPLOAD_SLOT_LIVE, std::memory_order_release);
        return i;
    }
    return -1;
}

void KelsioUploadCreated(int nSlot)
{
    if (nSlot < 0 || nSlot >= KELSIO_MAX_UPLOADS)
        return;
    CUploadSlot& slot = s_slots[nSlot];
    slot.nFile.store(UPLOAD_FILE_MADE, std::memory_order_release);
    CUploadIdentity identity;
    if (!KelsioUploadIdentify(slot.szPath, identity))
        return;
    slot.identity = identity;
    slot.nFile.store(UPLOAD_FILE_IDENTIFIED, std::memory_order_release);
}

void KelsioUploadRelease(int nSlot)
{
    if (nSlot < 0 || nSlot >= KELSIO_MAX_UPLOADS)
        return;
    // No file was made: whatever has the name is somebody else's, and no removal touches it.
    TakeSlot(s_slots[nSlot], UPLOAD_SLOT_LIVE, UPLOAD_SLOT_FREE);
}

void KelsioUploadHandOver(const void* pOwner, const void* pNewOwner)
{
    for (CUploadSlot& slot : s_slots)
    {
        if (slot.nState.load(std::memory_order_acquire) == UPLOAD_SLOT_LIVE &&
            slot.pOwner.load(std::memory_order_relaxed) == pOwner)
            slot.pOwner.store(pNewOwner, std::memory_order_relaxed);
    }
}

void KelsioUploadRemove(const void* pOwner)
{
    for (CUploadSlot& slot : s_slots)
    {
        if (slot.nState.load(std::memory_order_acquire) != UPLOAD_SLOT_LIVE)
            continue;
        if (pOwner != nullptr && slot.pOwner.load(std::memory_order_relaxed) != pOwner)
            continue;
        if (!TakeSlot(slot, UPLOAD_SLOT_LIVE, UPLOAD_SLOT_REMOVING))
            continue;
        if (DeleteSlotFile(slot))
        {
            slot.nState.store(UPLOAD_SLOT_FREE, std::memory_order_release);
            continue;
        }
        slot.pOwner.store(&s_orphanOwner, std::memory_order_relaxed);
        slot.nState.store(UPLOAD_SLOT_LIVE, std::memory_order_release);
    }
}

bool KelsioUploadIsOurs(const char* szPath)
{
    for (CUploadSlot& slot : s_slots)
    {
        int nState = slot.nState.load(std::memory_order_acquire);
        if ((nState == UPLOAD_SLOT_LIVE || nState == UPLOAD_SLOT_REMOVING) &&
            strcmp(slot.szPath, szPath) == 0)
            return true;
    }
    return false;
}

CUploadSlot* KelsioUploadSlots()
{
    return s_slots;
}
