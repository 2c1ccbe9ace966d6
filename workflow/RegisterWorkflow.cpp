#include "workflow/RegisterWorkflow.h"

#include "workflow/ExitCodes.h"
#include "workflow/MachineLock.h"
#include "workflow/SignalDeferral.h"

#include <optional>

WorkflowResult RunRegisterWorkflow(IRegisterFace& face, const WorkflowOptions& options) {
    WorkflowResult result;
    CString lockError;
    std::optional<MachineLock> lock = MachineLock::Acquire(MachineLock::Mode::Exclusive, options.lockWait, lockError);
    if (!lock) {
        result.failure = lockError;
        result.exitCode = MachineLock::LastFailureWasAccess() ? kExitNotAllowed : kExitFailure;
        face.Report(result);
        return result;
    }
    std::optional<SignalDeferral> deferral;
    if (options.deferSignals)
        deferral.emplace();

    DatabaseSettingsValue snapshot;
    if (std::optional<WorkflowStop> stop = face.TakeSnapshot(snapshot)) {
        result.failure = stop->text;
        result.exitCode = stop->exitCode;
        face.Report(result);
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
    face.Report(result);
    if (result.registration.result != 1 && (!stop || stop->storedSome))
        result.restoreFailed = !face.Restore(snapshot, result.restoreError);
    result.settingsChanged = !(face.Reload() == snapshot);
    return result;
}
