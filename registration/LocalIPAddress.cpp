#include "registration/AdapterSelection.h"
#include "registration/Registration.h"

#include "platform/net/NetworkAdapters.h"

// Every failure, an unreadable adapter list or a lack of memory among them, gives the empty text.
CString GetLocalIPAddress() {
    try {
        const auto adapters = GetAdapterList();
        if (!adapters)
            return {};
        return SelectLocalIPAddress(*adapters);
    } catch (...) {
        return {};
    }
}
