#include "workflow/RegisterWorkflow.h"

#include "workflow/ExitCodes.h"
#include "workflow/Worker.h"

#include "common/FormatString.h"
#include "platform/log/AuditLog.h"
#include "platform/net/ComputerName.h"
#include "platform/process/SignalDeferral.h"
#include "platform/registry/Registry.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

// The default wait wakes when the work ends (WorkerEnd), and at the latest after this, to notice a held-back signal.
constexpr std::chrono::microseconds wait_tick{20000};

bool is_register(WorkflowCommand command) {
    return command == WorkflowCommand::Register;
}

CString trimmed(CString text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

// "cannot read the setting DatabaseServer in the registry directory /var/lib/enlistor/registry: Access is denied.
// Run as root."
CString settings_error_text(const SettingsStoreError& error, const char* what) {
    CString reason = trimmed(error.text);
    if (reason.empty())
        reason = FormatString("error %lu", static_cast<unsigned long>(error.code));
    CString text = FormatString("cannot %s the setting %s in the registry directory %s: %s", what,
                                error.valueName.c_str(), RegistryRootPath().c_str(), reason.c_str());
    if (error.code == ERROR_ACCESS_DENIED)
        text += " Run as root.";
    return text;
}

void stop_with(RunReport& report, const CString& reason, int exitCode) {
    report.outcome = RunOutcome::Failed;
    report.exitCode = exitCode;
    report.causeText = RedactSecrets(reason, report.used.password.Text());
    report.dialogText = report.causeText;
}

CString interrupted_text(WorkflowCommand command, int sig) {
    const char* name = sigabbrev_np(sig);
    return FormatString("interrupted by SIG%s: the %s was cut short%s", name != nullptr ? name : "?",
                        is_register(command) ? "registration" : CommandName(command),
                        is_register(command) ? " and the earlier settings are put back" : "");
}

RunOutcome success_outcome(WorkflowCommand command, const RegistrationOutcome& outcome) {
    if (command == WorkflowCommand::Unregister)
        return outcome.rowsRemoved > 0 ? RunOutcome::Unregistered : RunOutcome::NotRegistered;
    if (outcome.alreadyKnown && !outcome.rowInserted)
        return RunOutcome::AlreadyRegistered;
    return command == WorkflowCommand::Register ? RunOutcome::Registered : RunOutcome::NotRegistered;
}

// The report's parts from the database step's outcome, each from its own field of the error.
void take_outcome(RunReport& report, const RegistrationOutcome& outcome) {
    const auto redact = [&](const CString& text) { return RedactSecrets(text, report.used.password.Text()); };
    report.databaseStepRan = true;
    report.connected = outcome.connected;
    report.driverName = outcome.driverName;
    report.connectionTarget = redact(outcome.connectionTarget);
    report.address = outcome.address;
    report.computerName = outcome.computerName;
    report.rowInserted = outcome.rowInserted;
    report.rowsRemoved = outcome.rowsRemoved;
    report.tls = outcome.tls;
    if (!outcome.tls.warning.empty())
        report.warnings.push_back(outcome.tls.warning); // the login went unprotected: said on every run
    report.exitCode = ExitCodeForRegistration(outcome);
    if (report.exitCode == kExitOk) {
        report.outcome = success_outcome(report.command, outcome);
        if (report.command == WorkflowCommand::Check && report.outcome == RunOutcome::NotRegistered)
            report.exitCode = kExitNotRegistered;
        for (const CString& warning : outcome.warnings)
            report.registrationWarnings.push_back(redact(warning));
        if (!outcome.warnings.empty() && outcome.lastError)
            report.warningHresult = outcome.lastError->Error();
        return;
    }
    report.outcome = RunOutcome::Failed;
    report.dialogText = redact(outcome.errorText);
    if (!outcome.lastError) {
        report.causeText = report.dialogText.empty() ? CString("the registration failed") : report.dialogText;
        return;
    }
    const _com_error& e = *outcome.lastError;
    report.cause = e.Cause();
    report.hresult = e.Error();
    report.errorSource = redact(e.Source().value_or(CString()));
    report.driverMessage = redact(e.DriverText());
    report.causeText = redact(e.CauseSentence());
    const bool ownError = IsRegistrationRefusal(e) || DescriptionIsTheCause(e.Cause());
    if (report.causeText.empty() && ownError && !report.driverMessage.empty()) {
        // The description is the sentence itself: it names what to check.
        report.causeText = std::move(report.driverMessage);
        report.driverMessage.clear();
    } else if (report.causeText.empty()) {
        report.causeText = "the database reported an error";
    }
}

// The address and computer name a run names: what the database step used, else (it stopped before it got that far)
// the given address or the one the rules pick now, and the computer name as it reads now.
void fill_identity(RunReport& report, const std::optional<CString>& address) {
    if (report.address.empty())
        report.address = address ? *address : GetLocalIPAddress();
    if (report.computerName.empty())
        report.computerName = ReadComputerName();
}

void audit(const RunReport& report) {
    if (report.command == WorkflowCommand::Check)
        return; // check changes nothing
    AuditRecord record;
    record.command = CommandName(report.command);
    record.outcome = OutcomeWord(report.outcome);
    record.address = report.address;
    record.computerName = report.computerName;
    record.databaseServer = report.used.server;
    record.databaseName = report.used.database;
    record.login = report.used.login;
    record.exitCode = report.exitCode;
    // The line names what failed and its code, not the driver's text (which came from outside).
    if (report.warningHresult)
        record.warning = FormatString("a duplicate check failed before the insert (error 0x%08lX)",
                                      static_cast<unsigned long>(static_cast<std::uint32_t>(*report.warningHresult)));
    if (report.databaseStepRan && report.tls.overNetwork) {
        record.tls = enlistor::ado::TransportWord(report.tls);
        record.tlsWarning = report.tls.warning;
    }
    WriteAuditRecord(record);
}

// Waits on the face until the work ends or a held-back signal asks to stop.
template <typename Result, typename Work>
std::optional<Result> on_worker(IRunFace& face, Work work) {
    return RunOnWorker<Result>(std::move(work), [&](const std::function<bool()>& finished) {
        face.Wait([&] { return finished() || SignalDeferral::Pending() != 0; });
    });
}

struct lock_attempt {
    std::optional<MachineLock> lock;
    MachineLockFailure failure;
};

// The one rule for a lock that cannot be had: a check may go on without it when the lock file is refused (it cannot
// read the settings either, and will say so); every other run stops, and nothing is returned.
std::optional<lock_attempt> lock_or_stop(RunReport& report, IRunFace& face, const WorkflowOptions& options) {
    const auto mode =
        report.command == WorkflowCommand::Check ? MachineLock::Mode::Shared : MachineLock::Mode::Exclusive;
    const std::chrono::milliseconds wait = options.lockWait;
    using Kind = MachineLockFailure::Kind;
    // A free lock is taken at once; only a lock someone holds is waited for on the worker, with the face answering.
    std::optional<lock_attempt> attempt(std::in_place);
    attempt->lock = MachineLock::Acquire(mode, std::chrono::milliseconds(0), attempt->failure);
    if (!attempt->lock && attempt->failure.kind == Kind::Busy && wait.count() > 0)
        attempt = on_worker<lock_attempt>(face, [mode, wait] {
            lock_attempt result;
            result.lock = MachineLock::Acquire(mode, wait, result.failure);
            return result;
        });
    if (!attempt)
        stop_with(report, interrupted_text(report.command, SignalDeferral::Pending()), kExitFailure);
    else if (!attempt->lock && (report.command != WorkflowCommand::Check || attempt->failure.kind != Kind::Refused))
        stop_with(report, attempt->failure.text,
                  attempt->failure.kind == Kind::Refused ? kExitNotAllowed : kExitFailure);
    else
        return attempt;
    return std::nullopt;
}

// The trust a run connects with: the stored one, with each override in its place (--insecure-login names the server
// it is given for).
ConnectionTrustSettings with_overrides(const ConnectionTrustSettings& stored, const TrustOverrides& overrides,
                                       const CString& server) {
    ConnectionTrustSettings trust = stored;
    if (overrides.caFile)
        trust.caFile = *overrides.caFile;
    if (overrides.trustCert)
        trust.trustCert = *overrides.trustCert;
    if (overrides.insecureLogin)
        trust.insecureLoginServer = server;
    return trust;
}

RegistrationOptions step_options(WorkflowCommand command, const DatabaseSettingsValue& typed,
                                 const ConnectionTrustSettings& trust, const WorkflowOptions& options) {
    RegistrationOptions step;
    step.address = options.address;
    step.trust = std::make_shared<const ConnectionTrustSettings>(trust);
    step.insertWhenNew = command != WorkflowCommand::Check;
    // Register connects with what it stored, as the dialog's Register always did; the others with what they were
    // given.
    if (!is_register(command))
        step.settings = std::make_shared<const DatabaseSettingsValue>(typed.Copy());
    return step;
}

void finish(RunReport& report, IRunFace& face, const WorkflowOptions& options) {
    fill_identity(report, options.address);
    face.Finish(report);
    audit(report);
}

} // namespace

RegistrationOutcome IRunFace::DatabaseStep(WorkflowCommand command, const RegistrationOptions& options) {
    return command == WorkflowCommand::Unregister ? UnregisterMachineDetailed(options)
                                                  : RegisterMachineDetailed(options);
}

std::optional<WorkflowStop> IRunFace::TakeSnapshot(DatabaseSettingsValue& snapshot) {
    SettingsStoreError error;
    if (!LoadDatabaseSettingsValue(snapshot, &error))
        return WorkflowStop{settings_error_text(error, "read"), kExitNotAllowed, false};
    return std::nullopt;
}

void IRunFace::Wait(const std::function<bool()>& stop) {
    for (;;) {
        const unsigned long ended = WorkerEnd::Count(); // read first: an end after it cuts the sleep short
        if (stop())
            return;
        WorkerEnd::SleepPast(ended, wait_tick);
    }
}

bool IRunFace::Restore(const DatabaseSettingsValue& snapshot, SettingsStoreError& error) {
    return SaveDatabaseSettingsValue(snapshot, &error);
}

DatabaseSettingsValue IRunFace::Reload() {
    DatabaseSettingsValue reloaded;
    (void)LoadDatabaseSettingsValue(reloaded);
    return reloaded;
}

const char* OutcomeWord(RunOutcome outcome) {
    static constexpr const char* words[] = {"registered", "already-registered", "not-registered", "unregistered",
                                            "failed"};
    return words[static_cast<int>(outcome)];
}

const char* CommandName(WorkflowCommand command) {
    static constexpr const char* names[] = {"register", "check", "unregister"};
    return names[static_cast<int>(command)];
}

RunReport RunWorkflow(WorkflowCommand command, IRunFace& face, const WorkflowOptions& options) {
    RunReport report;
    report.command = command;
    report.warnings = options.warnings;
    std::optional<lock_attempt> lock = lock_or_stop(report, face, options);
    if (!lock) {
        fill_identity(report, options.address);
        face.Show(report);
        finish(report, face, options);
        return report;
    }
    // Declared before the steps: it ends last, after the audit line, and only then raises a held-back signal.
    std::optional<SignalDeferral> deferral;
    if (options.deferSignals)
        deferral.emplace();

    DatabaseSettingsValue snapshot;
    ConnectionTrustSettings trustSnapshot;
    ConnectionTrustSettings trust;
    bool trustStored = false;
    std::optional<WorkflowStop> stop = face.TakeSnapshot(snapshot);
    if (!stop)
        stop = face.TypedSettings(command, snapshot, report.used);
    if (!stop) {
        SettingsStoreError error;
        if (!LoadConnectionTrust(trustSnapshot, &error))
            stop = WorkflowStop{settings_error_text(error, "read"), kExitNotAllowed, is_register(command)};
        trust = with_overrides(trustSnapshot, options.trust, report.used.server);
        if (!stop && is_register(command) && options.trust.Any()) {
            trustStored = true;
            if (!SaveConnectionTrust(trust, &error))
                stop = WorkflowStop{settings_error_text(error, "store"), kExitNotAllowed, true};
        }
    }
    if (command == WorkflowCommand::Check) {
        report.settingsChanged = !(report.used == snapshot) || !(trust == trustSnapshot);
        lock.reset(); // the settings are read: the connection and the checks need no lock
    }
    if (!stop) {
        const RegistrationOptions step = step_options(command, report.used, trust, options);
        std::optional<RegistrationOutcome> outcome =
            on_worker<RegistrationOutcome>(face, [&face, command, step] { return face.DatabaseStep(command, step); });
        if (outcome)
            take_outcome(report, *outcome);
        else
            stop_with(report, interrupted_text(command, SignalDeferral::Pending()), kExitFailure);
    } else {
        stop_with(report, stop->text, stop->exitCode);
    }
    fill_identity(report, options.address);
    face.Show(report);
    if (is_register(command)) {
        const bool stored = !stop || stop->storedSome;
        if (report.outcome == RunOutcome::Failed && stored) {
            report.restoreFailed = !face.Restore(snapshot, report.restoreError) ||
                                   (trustStored && !SaveConnectionTrust(trustSnapshot, &report.restoreError));
            if (report.restoreFailed)
                report.warnings.push_back("the earlier settings could not all be stored back: " +
                                          settings_error_text(report.restoreError, "store"));
        }
        report.settingsChanged = !(face.Reload() == snapshot);
    }
    finish(report, face, options);
    return report;
}

CString SettingsErrorText(const SettingsStoreError& error, const char* what) {
    return settings_error_text(error, what);
}
