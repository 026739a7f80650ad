// rescan: lists the folder and writes its total to ".store", as the program's own size scan
// would; removes the leftovers of killed writers on the way. For after files were deleted by
// hand, or whenever the cache has drifted.
#include "commands.h"

#include "qtool_trace.h"
#include "qtool_units.h"
#include "store_state.h"

static std::string StoreValueText(const SStoreState& store)
{
    if (!store.bPresent)
    {
        return "missing";
    }
    if (!store.bComplete)
    {
        return "invalid (shorter than 8 bytes)";
    }
    return FormatSigned(store.nRawValue) + " bytes";
}

int RunRescan(const SToolContext& context)
{
    SStoreState store;
    ReadStoreState(context.strFolder, &store);
    CFolderDir dir;
    SFolderListing listing;
    if (!OpenAndList(context, &dir, &listing))
    {
        return kExitFailed;
    }
    uint64_t nLeftoverBytes = 0;
    bool bLeftoversRemoved =
        SweepLeftovers(context, "rescan", &dir, listing, false, &nLeftoverBytes);
    std::string strOld = StoreValueText(store);
    int64_t nNew = 0;
    if (!WriteFolderTotal(context, &dir, listing, nLeftoverBytes, &nNew))
    {
        return kExitFailed;
    }
    context.pOut->Write("old .store: " + strOld + "\n");
    context.pOut->Write("new .store: " + FormatSigned(nNew) + " bytes (" +
                        FormatUnsigned(listing.files.size()) + " quarantined files)\n");
    ToolTrace(kTraceLineRescan, "[vendrel-quarantine:rescan] .store " + strOld + " -> " +
                                    FormatSigned(nNew) + " bytes");
    return bLeftoversRemoved ? kExitOk : kExitFailed;
}
