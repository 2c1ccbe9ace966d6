#include "workflow/RegisterWorkflow.h"

#include "workflow/ExitCodes.h"
#include "workflow/MachineLock.h"
#include "workflow/SignalDeferral.h"

#include "common/FormatString.h"
#include "platform/log/AuditLog.h"
#include "platform/net/ComputerName.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace {

void fill_identity(WorkflowResult& result, const WorkflowOptions& options) {
    FillIdentity(result.registration, options.address);
}

void audit(const char* command, const char* word, const WorkflowResult& result) {
    AuditRecord record;
    record.command = command;
    record.outcome = word;
    record.address = result.registration.address;
    record.computerName = result.registration.computerName;
    record.databaseServer = result.used.server;
    record.databaseName = result.used.database;
    record.login = result.used.login;
    record.exitCode = result.exitCode;
    // The line names what failed and its code, not the driver's text (which came from outside).
    if (!result.registration.warnings.empty() && result.registration.lastError)
        record.warning = FormatString(
            "a duplicate check failed before the insert (error 0x%08lX)",
            static_cast<unsigned long>(static_cast<std::uint32_t>(result.registration.lastError->Error())));
    if (result.registrationRan && result.registration.tls.overNetwork) {
        record.tls = enlistor::ado::TransportWord(result.registration.tls);
        record.tlsWarning = result.registration.tls.warning;
    }
    WriteAuditRecord(record);
}

std::optional<MachineLock> lock_or_report(WorkflowResult& result, const WorkflowOptions& options) {
    CString lockError;
    std::optional<MachineLock> lock = MachineLock::Acquire(MachineLock::Mode::Exclusive, options.lockWait, lockError);
    if (!lock) {
        result.failure = lockError;
        result.exitCode = MachineLock::LastFailureWasAccess() ? kExitNotAllowed : kExitFailure;
    }
    return lock;
}

} // namespace

void FillIdentity(RegistrationOutcome& outcome, const std::optional<CString>& address) {
    if (outcome.address.empty())
        outcome.address = address ? *address : GetLocalIPAddress();
    if (outcome.computerName.empty())
        outcome.computerName = ReadComputerName();
}

const char* RegisterOutcomeWord(const WorkflowResult& result) {
    if (result.exitCode != kExitOk)
        return "failed";
    return result.registration.alreadyKnown ? "already-registered" : "registered";
}

const char* UnregisterOutcomeWord(const WorkflowResult& result) {
    if (result.exitCode != kExitOk)
        return "failed";
    return result.registration.rowsRemoved > 0 ? "unregistered" : "not-registered";
}

WorkflowResult RunRegisterWorkflow(IRegisterFace& face, const WorkflowOptions& options) {
    WorkflowResult result;
    std::optional<MachineLock> lock = lock_or_report(result, options);
    if (!lock) {
        fill_identity(result, options);
        face.Report(result);
        audit("register", RegisterOutcomeWord(result), result);
        return result;
    }
    std::optional<SignalDeferral> deferral;
    if (options.deferSignals)
        deferral.emplace();

    DatabaseSettingsValue snapshot;
    if (std::optional<WorkflowStop> stop = face.TakeSnapshot(snapshot)) {
        result.failure = stop->text;
        result.exitCode = stop->exitCode;
        fill_identity(result, options);
        face.Report(result);
        audit("register", RegisterOutcomeWord(result), result);
        return result;
    }
    const std::optional<WorkflowStop> stop = face.StoreTyped(result.used);
    if (!stop) {
        result.registration = face.Register();
        result.registrationRan = true;
        result.exitCode = ExitCodeForRegistration(result.registration);
    } else {
        result.failure = stop->text;
        result.exitCode = stop->exitCode;
    }
    fill_identity(result, options);
    face.Report(result);
    if (result.registration.result != 1 && (!stop || stop->storedSome))
        result.restoreFailed = !face.Restore(snapshot, result.restoreError);
    result.settingsChanged = !(face.Reload() == snapshot);
    audit("register", RegisterOutcomeWord(result), result);
    return result;
}

WorkflowResult RunUnregisterWorkflow(const SettingsSource& settingsFor, const WorkflowOptions& options) {
    WorkflowResult result;
    std::optional<MachineLock> lock = lock_or_report(result, options);
    std::optional<WorkflowStop> stop;
    if (lock)
        stop = settingsFor(result.used);
    if (lock && stop) {
        result.failure = stop->text;
        result.exitCode = stop->exitCode;
    }
    if (lock && !stop) {
        RegistrationOptions unregister;
        unregister.address = options.address;
        unregister.settings = std::make_shared<const DatabaseSettingsValue>(result.used.Copy());
        unregister.trust = options.trust;
        result.registration = UnregisterMachineDetailed(unregister);
        result.registrationRan = true;
        result.exitCode = ExitCodeForRegistration(result.registration);
    }
    fill_identity(result, options);
    audit("unregister", UnregisterOutcomeWord(result), result);
    return result;
}
