// A whole run of each command, the same for the dialog and the command line: the machine's registration lock, the
// held-back signals, the settings snapshot and the typed values, the database step on a worker thread, the report,
// the roll-back after a failed register, the reload, the audit line and the exit code. The faces only give their
// settings, wait in their own way and show the report.
#pragma once

#include "platform/data/ComError.h"
#include "platform/process/MachineLock.h"
#include "registration/Registration.h"
#include "settings/DatabaseSettings.h"

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

// The success text of a register, in the dialog's box and on the command line.
inline constexpr char kRegisteredText[] = "Server registered successfully";

enum class WorkflowCommand {
    Register,   // store the typed settings, register; after a failure put the snapshot back; reload
    Check,      // shared lock, read-only: connect and run both duplicate checks, insert nothing, store nothing
    Unregister, // take this machine's own pending row out, with the typed settings (nothing stored)
};

enum class RunOutcome {
    Registered,        // register: the row went in
    AlreadyRegistered, // register, check: the address is already known to the suite
    NotRegistered,     // check: register would insert; unregister: there was no row to remove
    Unregistered,      // unregister: the row was removed
    Failed,
};

// A face's reason to stop the run before the database step: the text and the exit code it maps to; storedSome when
// the face had already changed some of the stored settings (the snapshot is then put back).
struct WorkflowStop {
    CString text;
    int exitCode = 1;
    bool storedSome = false;
};

// Everything one run came to, for the face to show. No member is a text to be parsed again: each part is its own.
struct RunReport {
    WorkflowCommand command = WorkflowCommand::Register;
    RunOutcome outcome = RunOutcome::Failed;
    int exitCode = 1;             // the process exit code (workflow/ExitCodes.h)
    bool databaseStepRan = false; // false: the lock, the settings or the face stopped the run first

    // Why it failed; all empty on success. The password never appears in any of them.
    std::optional<DataErrorCause> cause; // the classified kind, when a database error was caught
    CString causeText;                   // one sentence naming the cause and the setting to check, or the run's reason
    CString driverMessage;               // the driver's own text, unchanged
    CString errorSource;                 // the error's source, e.g. "ODBC driver psqlodbcw.so"
    std::optional<HRESULT> hresult;      // the error's HRESULT
    CString dialogText;                  // what the dialog's Error box shows: "%s Error %ld%s%s", else causeText

    CString address;      // the address registered or looked for; empty when none was found
    CString computerName; // this machine's computer name
    bool rowInserted = false;
    long rowsRemoved = 0;
    // register: what is stored at the end differs from what was stored before; check: register would store the
    // values given.
    bool settingsChanged = false;
    std::vector<CString> warnings; // things the operator should know about a run that went on
    // register: what failed although the row went in ("a duplicate check failed: ..."), and that failure's HRESULT
    // for the audit line, which never carries the driver's text.
    std::vector<CString> registrationWarnings;
    std::optional<HRESULT> warningHresult;
    enlistor::ado::TransportReport tls; // how the login was (or would have been) protected on the wire

    DatabaseSettingsValue used; // the settings the database step used (the password is the one typed)
    bool connected = false;
    CString driverName;       // the ODBC driver the connection used
    CString connectionTarget; // the ODBC connection string, the password shown as "***"
    bool restoreFailed = false;
    SettingsStoreError restoreError;
};

// The face's part of a run. Called on the face's thread in this order: (the lock is taken; the face Waits while
// another run holds it) TakeSnapshot, TypedSettings, (the database step runs, the face Waits), Show, (register after a
// failure: Restore), (register: Reload), Finish. A stop ends the run early: Show and Finish still follow. When the lock
// cannot be had only Show and Finish are called.
class IRunFace {
public:
    virtual ~IRunFace() = default;
    // The settings the run starts from: register puts them back after a failure; check and unregister put the
    // face's own values over them. The default reads what is stored (a value that cannot be read stops the run).
    virtual std::optional<WorkflowStop> TakeSnapshot(DatabaseSettingsValue& snapshot);
    // The settings the database step uses, into typed. Register stores them first; check and unregister store nothing.
    virtual std::optional<WorkflowStop> TypedSettings(WorkflowCommand command, const DatabaseSettingsValue& snapshot,
                                                      DatabaseSettingsValue& typed) = 0;
    // The database step, run on the worker thread: it must not touch a window. The default makes the registration's
    // own call for the command with the given options.
    virtual RegistrationOutcome DatabaseStep(WorkflowCommand command, const RegistrationOptions& options);
    // Keeps the face answering until stop() is true (asked at least every 50 ms). The default sleeps in between and
    // is woken when the work ends (workflow/Worker.h).
    virtual void Wait(const std::function<bool()>& stop);
    // Tells the operator the outcome, before a failed register's settings are put back.
    virtual void Show(const RunReport& report) { (void)report; }
    // Stores the snapshot again. False (with the reason) when not all values were written.
    virtual bool Restore(const DatabaseSettingsValue& snapshot, SettingsStoreError& error);
    // Reloads what is stored; returns it.
    virtual DatabaseSettingsValue Reload();
    // The final report, with the roll-back's result and the settings' state; the audit line follows.
    virtual void Finish(const RunReport& report) { (void)report; }
};

// The command line's TLS trust options, put over the stored trust for the run.
struct TrustOverrides {
    std::optional<CString> caFile;
    std::optional<CString> trustCert;
    bool insecureLogin = false; // for the run's server only
    [[nodiscard]] bool Any() const noexcept { return caFile || trustCert || insecureLogin; }
};

struct WorkflowOptions {
    std::chrono::milliseconds lockWait = kMachineLockWait;
    // The address the run registers instead of the one the rules pick (the command line's --address): named in the
    // report and the audit line even when the run stopped before it connected.
    std::optional<CString> address;
    // Hold the terminating signals back from the snapshot to the end of the reload (platform/process/SignalDeferral).
    bool deferSignals = true;
    // Register stores the trust with the overrides beside the settings (and puts the earlier one back after a
    // failure); check and unregister use it for their connection only.
    TrustOverrides trust;
    // Warnings the face met before the run (a readable password file); they head the report's list.
    std::vector<CString> warnings;
};

// Runs the command. The machine's registration lock is held (shared for check) from before the snapshot to the end
// of the run (check: until its settings are read), and released on return. A terminating signal that arrives while
// the database step runs ends the wait: the run is reported as interrupted, a register's settings are put back, and
// the signal then ends the process. Every register and unregister leaves one line in the system log (the audit
// trail, platform/log/AuditLog.h), never the password.
RunReport RunWorkflow(WorkflowCommand command, IRunFace& face, const WorkflowOptions& options = {});

// Why a settings value could not be read or stored (what: "read" or "store"), naming the value and the registry
// directory; a refusal asks to run as root.
[[nodiscard]] CString SettingsErrorText(const SettingsStoreError& error, const char* what);

// The word the command line and the audit trail use for an outcome: "registered", "already-registered",
// "not-registered", "unregistered" or "failed".
[[nodiscard]] const char* OutcomeWord(RunOutcome outcome);
// The command's name: "register", "check" or "unregister".
[[nodiscard]] const char* CommandName(WorkflowCommand command);
