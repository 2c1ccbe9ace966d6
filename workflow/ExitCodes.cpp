#include "workflow/ExitCodes.h"

int ExitCodeForCause(DataErrorCause cause) noexcept {
    switch (cause) {
    case DataErrorCause::ServerUnreachable:
    case DataErrorCause::ServerTimedOut:
    case DataErrorCause::ServerUnknown:
        return kExitUnreachable;
    case DataErrorCause::LoginRefused:
        return kExitLoginRefused;
    case DataErrorCause::DatabaseMissing:
    case DataErrorCause::TableMissing:
        return kExitMissing;
    case DataErrorCause::PermissionDenied:
        return kExitNotAllowed;
    case DataErrorCause::ServerCannotEncrypt:
    case DataErrorCause::CertificateUntrusted:
    case DataErrorCause::TlsFailed:
        return kExitNotProtected;
    case DataErrorCause::SettingUnusable:
        return kExitUsage; // a setting the driver cannot be given: nothing was sent
    case DataErrorCause::DriverMissing:
    case DataErrorCause::Other:
        break;
    }
    return kExitFailure;
}

int ExitCodeForRegistration(const RegistrationOutcome& outcome) {
    if (outcome.result == 1)
        return kExitOk;
    if (!outcome.lastError)
        return kExitFailure;
    return ExitCodeForCause(outcome.lastError->Cause());
}
