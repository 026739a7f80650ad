// The stand-in engine library, loaded by the program under the real engine's name.
#include "stub_engine.h"

extern "C" VENDREL_EXPORT DWORD WINAPI PelixGetBackupFileInfoW(LPCWSTR wszPath, void* pRecord)
{
    return StubBackupFileInfo(wszPath, pRecord);
}
