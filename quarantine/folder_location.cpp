// Where the quarantine folder is: the configured path, or the home directory followed directly
// by "Virus". Read afresh on every call, so a changed server.ini takes effect at once.
#include "quarantine.h"

#include "kelsio.h"
#include "platform.h"

void getQuarantineFolder(char* szFolder, int nCapacity)
{
    if (szFolder == nullptr || nCapacity <= 0)
    {
        return;
    }
    szFolder[0] = '\0';
    // Every caller passes MAX_PATH; the capacity bounds the setting so a smaller buffer stays safe.
    getINIString(szFolder, "INI_SERVER_SECTION", "Quarantine_Folder", "",
                 static_cast<unsigned long>(nCapacity), nullptr);
    szFolder[nCapacity - 1] = '\0';
    if (szFolder[0] != '\0')
    {
        return;
    }

    // One more than MAX_PATH, so a home directory of MAX_PATH characters is kept whole here.
    char szHome[MAX_PATH + 1] = {0};
    getHomeDir(szHome, MAX_PATH + 1);
    szHome[MAX_PATH] = '\0';
    // No separator goes between: "Virus" is appended to the home directory text as it is.
    // A default folder too long for the buffer is cut like every other bounded path here; the
    // cut name then names no folder of ours, so the scan finds nothing and filing deletes.
    _snprintf(szFolder, static_cast<size_t>(nCapacity - 1), "%sVirus", szHome);
    szFolder[nCapacity - 1] = '\0';
}
