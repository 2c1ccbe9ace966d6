// Fault injection into the data objects, for tests only (tests that use it carry "Injected" in their names).
//
// A real driver cannot be made to fail object creation, or to fail while a connection's State is read or while it
// is closed; these hooks make exactly those calls fail. An armed fault stays armed until it is cleared: every call
// of its operation fails. CreateInstance returns the HRESULT (and leaves no object); every other operation throws
// _com_error with that HRESULT, with error information (source "ADODB.Connection"/"ADODB.Recordset", description
// "Injected fault: <operation>") unless withErrorInfo is false. The state is process-wide; use ScopedFault.
#pragma once

#include "platform/win32/Win32.h"

namespace ado::testing {

enum class Operation {
    ConnectionCreate,
    ConnectionOpen,
    ConnectionExecute,
    ConnectionGetState,
    ConnectionClose,
    RecordsetCreate,
    RecordsetOpen,
    RecordsetEOF,
    RecordsetClose,
};

void InjectFault(Operation operation, HRESULT hr = E_FAIL, bool withErrorInfo = true);
void ClearFault(Operation operation);
void ClearAllFaults();

class ScopedFault {
public:
    explicit ScopedFault(Operation operation, HRESULT hr = E_FAIL, bool withErrorInfo = true) : m_operation(operation) {
        InjectFault(operation, hr, withErrorInfo);
    }
    ~ScopedFault() { ClearFault(m_operation); }
    ScopedFault(const ScopedFault&) = delete;
    ScopedFault& operator=(const ScopedFault&) = delete;

private:
    Operation m_operation;
};

} // namespace ado::testing
