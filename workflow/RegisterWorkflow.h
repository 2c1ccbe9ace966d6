// The Register workflow, the same for the dialog and the command line: snapshot, store the typed settings,
// register, report, put the snapshot back after a failure, reload, all under the machine's registration lock.
#pragma once

#include "registration/Registration.h"
#include "settings/DatabaseSettings.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// A face's reason to stop the run before the registration: the text and the exit code it maps to; storedSome when
// the face had already changed some of the stored settings (the snapshot is then put back).
struct WorkflowStop {
    CString text;
    int exitCode = 1;
    bool storedSome = false;
};

// What one run of the workflow came to.
struct WorkflowResult {
    RegistrationOutcome registration; // the registration step's outcome (result 0 when it did not run)
    bool registrationRan = false;     // false: the lock or the settings store stopped the run first
    CString failure;                  // why the run stopped before registering; empty when it registered
    int exitCode = 1;                 // the process exit code this outcome maps to (ExitCodes.h)
    bool restoreFailed = false;       // after a failure the snapshot could not be stored back whole
    SettingsStoreError restoreError;  // ... and why
    bool settingsChanged = false;     // what is stored differs from the snapshot at the end of the run
    DatabaseSettingsValue used;       // the settings the registration used (what the typed values stored)
};

// The face's part of the workflow: the dialog runs its Part with its members and message boxes, the command line
// with the stored settings and printed lines. Called in this order: TakeSnapshot, StoreTyped, Register, Report,
// (after a failure) Restore, Reload. When the lock cannot be had only Report is called; when StoreTyped fails the
// registration is skipped and Report follows (then Restore when it had stored some values, and Reload); when
// TakeSnapshot stops the run, only Report follows.
class IRegisterFace {
public:
    virtual ~IRegisterFace() = default;
    // The settings a failed run puts back.
    virtual std::optional<WorkflowStop> TakeSnapshot(DatabaseSettingsValue& snapshot) = 0;
    // Stores the typed settings; `typed` receives what was stored.
    virtual std::optional<WorkflowStop> StoreTyped(DatabaseSettingsValue& typed) = 0;
    // Registers this machine with what is now stored.
    virtual RegistrationOutcome Register() = 0;
    // Tells the operator the outcome.
    virtual void Report(const WorkflowResult& result) = 0;
    // Stores the snapshot again. False (with the reason) when not all values were written.
    virtual bool Restore(const DatabaseSettingsValue& snapshot, SettingsStoreError& error) = 0;
    // Reloads what is stored; returns it.
    virtual DatabaseSettingsValue Reload() = 0;
};

struct WorkflowOptions {
    std::chrono::milliseconds lockWait = std::chrono::milliseconds(60000);
    // The address the run registers instead of the one the rules pick (the command line's --address): named in the
    // outcome and the audit line even when the run stopped before it connected.
    std::optional<CString> address;
    // The connection's TLS trust for an unregister instead of the stored one (null: the stored one).
    std::shared_ptr<const ConnectionTrustSettings> trust;
    // Hold SIGINT, SIGTERM and SIGHUP back from the snapshot to the end of the reload (see SignalDeferral).
    bool deferSignals = true;
};

// Runs the workflow; the machine's registration lock is held exclusively from before the snapshot to after the
// reload, and released on return. Every run, whatever its outcome, leaves one line in the system log (the audit
// trail, platform/log/AuditLog.h), never the password.
WorkflowResult RunRegisterWorkflow(IRegisterFace& face, const WorkflowOptions& options = {});

// The settings an unregister connects with, read under the lock: the stored ones with the command's own values in
// their place. A stop ends the run before it connects.
using SettingsSource = std::function<std::optional<WorkflowStop>(DatabaseSettingsValue& settings)>;

// Takes this machine's own pending row out of the registered servers (UnregisterMachineDetailed) under the machine's
// registration lock, with the settings the source gives (nothing is stored), and leaves one audit line.
WorkflowResult RunUnregisterWorkflow(const SettingsSource& settingsFor, const WorkflowOptions& options = {});

// The address and computer name a run names: what the registration used, else (it stopped before it got that far)
// the given address or the one the rules pick now, and the computer name as it reads now.
void FillIdentity(RegistrationOutcome& outcome, const std::optional<CString>& address);

// The word the command line and the audit trail use for an outcome: "registered", "already-registered" or "failed";
// for an unregister "unregistered", "not-registered" or "failed".
[[nodiscard]] const char* RegisterOutcomeWord(const WorkflowResult& result);
[[nodiscard]] const char* UnregisterOutcomeWord(const WorkflowResult& result);
