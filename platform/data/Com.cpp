#include "platform/data/Com.h"

namespace {
// COM has no process-wide state here (the data objects are plain in-process objects): what must hold is that a
// thread balances its calls, which the depth shows.
thread_local int com_depth = 0;
} // namespace

HRESULT CoInitialize(void*) {
    // As on Windows: S_OK for the first call on a thread, S_FALSE for a nested one; both must be balanced.
    return com_depth++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
    if (com_depth > 0)
        --com_depth;
}

int CoInitializeDepth() {
    return com_depth;
}
