// The unwinder of a program that carries its own static copy of it.
#include "pal_internal.h"

#include <unwind.h>

static _Unwind_Reason_Code StopAtOnce(struct _Unwind_Context* pContext, void* pArg)
{
    (void)pContext;
    (void)pArg;
    return _URC_END_OF_STACK;
}

// Libraries the program loads may carry an unwinder of their own. An exception one of them throws
// into the program is unwound by the library's copy, but the program's catch goes through the
// program's copy, which fills its table of register sizes only when it first unwinds itself: a
// program that had not thrown yet would abort there. One step of a backtrace fills it.
void PalPrepareUnwinder()
{
    _Unwind_Backtrace(StopAtOnce, nullptr);
}
