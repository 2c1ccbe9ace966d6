#include "cli/Outcome.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

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
    case DataErrorCause::DriverMissing:
    case DataErrorCause::Other:
        break;
    }
    return kExitFailure;
}

std::optional<HRESULT> HresultFromErrorText(const CString& errorText) {
    static constexpr char kMarker[] = " Error ";
    for (std::size_t at = errorText.find(kMarker); at != CString::npos; at = errorText.find(kMarker, at + 1)) {
        const char* number = errorText.c_str() + at + sizeof kMarker - 1;
        if (!(std::isdigit(static_cast<unsigned char>(number[0])) ||
              (number[0] == '-' && std::isdigit(static_cast<unsigned char>(number[1])))))
            continue;
        errno = 0;
        char* end = nullptr;
        const long value = std::strtol(number, &end, 10);
        if (errno == 0 && value >= INT32_MIN && value <= INT32_MAX)
            return static_cast<HRESULT>(value);
    }
    return std::nullopt;
}

int ExitCodeForError(const CString& sqlState, std::optional<HRESULT> hr, const CString& text) {
    return ExitCodeForCause(ClassifyDataError(sqlState, hr.value_or(0), text));
}
