// The Register workflow's order and lock, the machine lock itself, and held-back signals.
#include "workflow/ExitCodes.h"
#include "workflow/RegisterWorkflow.h"

#include "platform/process/MachineLock.h"
#include "platform/process/SignalDeferral.h"

#include "tests/support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace enlistor::test;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

namespace {

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool lock_is_free(MachineLock::Mode mode = MachineLock::Mode::Exclusive) {
    MachineLockFailure error;
    return MachineLock::Acquire(mode, std::chrono::milliseconds(0), error).has_value();
}

class Workflow : public testing::Test {
protected:
    void SetUp() override { setenv("ENLISTOR_REGISTRY", (m_dir.path() / "registry").c_str(), 1); }
    TempDir m_dir;
};

// A face that logs each call, and notes whether the machine lock was free while the database step ran.
class LoggingFace final : public IRunFace {
public:
    std::vector<std::string> log;
    std::optional<WorkflowStop> snapshotStop, storeStop;
    RegistrationOutcome outcome = [] {
        RegistrationOutcome ok;
        ok.result = 1;
        ok.rowInserted = true;
        return ok;
    }();
    std::function<void()> duringStep;
    bool lockFreeWhileRegistering = true;
    CString typedPassword;

    std::optional<WorkflowStop> TakeSnapshot(DatabaseSettingsValue& snapshot) override {
        log.push_back("snapshot");
        snapshot.server = "before";
        return snapshotStop;
    }
    std::optional<WorkflowStop> TypedSettings(WorkflowCommand, const DatabaseSettingsValue&,
                                              DatabaseSettingsValue& typed) override {
        log.push_back("store");
        typed.server = "typed";
        typed.password.Assign(typedPassword);
        return storeStop;
    }
    RegistrationOutcome DatabaseStep(WorkflowCommand, const RegistrationOptions&) override {
        lockFreeWhileRegistering = lock_is_free(MachineLock::Mode::Exclusive);
        if (duringStep)
            duringStep();
        return outcome;
    }
    void Wait(const std::function<bool()>& stop) override {
        log.push_back("wait");
        IRunFace::Wait(stop);
    }
    void Show(const RunReport& report) override {
        log.push_back("show " + std::to_string(report.exitCode) +
                      (report.causeText.empty() ? "" : " " + report.causeText));
    }
    bool Restore(const DatabaseSettingsValue& snapshot, SettingsStoreError&) override {
        log.push_back("restore " + snapshot.server);
        return true;
    }
    DatabaseSettingsValue Reload() override {
        log.push_back("reload");
        return {};
    }
    void Finish(const RunReport& report) override {
        log.push_back(std::string("finish ") + OutcomeWord(report.outcome));
    }
};

RegistrationOutcome failed_outcome() {
    RegistrationOutcome failed;
    failed.result = 0;
    return failed;
}

// Success: show, no restore, reload; a failure shows before it restores; the lock is held while registering and
// free afterwards; the database step's wait goes through the face (a free lock is taken without one).
TEST_F(Workflow, RunsTheStepsInOrderUnderTheLock) {
    LoggingFace ok;
    EXPECT_EQ(RunWorkflow(WorkflowCommand::Register, ok).exitCode, kExitOk);
    EXPECT_THAT(ok.log, ElementsAre("snapshot", "store", "wait", "show 0", "reload", "finish registered"));
    EXPECT_FALSE(ok.lockFreeWhileRegistering);
    EXPECT_TRUE(lock_is_free());

    LoggingFace failing;
    failing.outcome = failed_outcome();
    const RunReport report = RunWorkflow(WorkflowCommand::Register, failing);
    EXPECT_EQ(report.exitCode, kExitFailure);
    EXPECT_THAT(failing.log, ElementsAre("snapshot", "store", "wait", "show 1 the registration failed",
                                         "restore before", "reload", "finish failed"));
}

// A face that stops the run: before storing anything only show and reload follow; after storing some values the
// snapshot is put back; a snapshot that cannot be taken stops everything.
TEST_F(Workflow, StopsBeforeRegisteringWhenTheFaceSays) {
    LoggingFace nothingStored;
    nothingStored.storeStop = WorkflowStop{"no server", kExitUsage, false};
    EXPECT_EQ(RunWorkflow(WorkflowCommand::Register, nothingStored).exitCode, kExitUsage);
    EXPECT_THAT(nothingStored.log, ElementsAre("snapshot", "store", "show 2 no server", "reload", "finish failed"));

    LoggingFace someStored;
    someStored.storeStop = WorkflowStop{"disk full", kExitNotAllowed, true};
    EXPECT_EQ(RunWorkflow(WorkflowCommand::Register, someStored).exitCode, kExitNotAllowed);
    EXPECT_THAT(someStored.log,
                ElementsAre("snapshot", "store", "show 6 disk full", "restore before", "reload", "finish failed"));

    LoggingFace unreadable;
    unreadable.snapshotStop = WorkflowStop{"cannot read", kExitNotAllowed, false};
    EXPECT_EQ(RunWorkflow(WorkflowCommand::Unregister, unreadable).exitCode, kExitNotAllowed);
    EXPECT_THAT(unreadable.log, ElementsAre("snapshot", "show 6 cannot read", "finish failed"));
}

// check and unregister never restore or reload; check's outcome tells registered (0) from would-insert (8), and it
// runs its database step with the lock already given back.
TEST_F(Workflow, CheckAndUnregisterOutcomes) {
    LoggingFace known;
    known.outcome.rowInserted = false;
    known.outcome.alreadyKnown = true;
    const RunReport registered = RunWorkflow(WorkflowCommand::Check, known);
    EXPECT_EQ(registered.exitCode, kExitOk);
    EXPECT_EQ(registered.outcome, RunOutcome::AlreadyRegistered);
    EXPECT_TRUE(known.lockFreeWhileRegistering);
    EXPECT_TRUE(registered.settingsChanged); // the typed server differs from the stored one

    LoggingFace unknown;
    unknown.outcome.rowInserted = false;
    const RunReport wouldInsert = RunWorkflow(WorkflowCommand::Check, unknown);
    EXPECT_EQ(wouldInsert.exitCode, kExitNotRegistered);
    EXPECT_EQ(wouldInsert.outcome, RunOutcome::NotRegistered);
    EXPECT_THAT(unknown.log, ElementsAre("snapshot", "store", "wait", "show 8", "finish not-registered"));

    LoggingFace removed;
    removed.outcome.rowsRemoved = 2;
    EXPECT_EQ(RunWorkflow(WorkflowCommand::Unregister, removed).outcome, RunOutcome::Unregistered);
    LoggingFace none;
    EXPECT_EQ(RunWorkflow(WorkflowCommand::Unregister, none).outcome, RunOutcome::NotRegistered);
}

// The report keeps each part of a database error in its own member: the cause sentence, the driver's own text, the
// HRESULT, and the dialog's whole text; the password never appears in any of them.
TEST_F(Workflow, ReportSplitsTheErrorWithoutReadingTextBack) {
    LoggingFace face;
    const _com_error raised(static_cast<HRESULT>(0x80040E4D), "ODBC driver x", "FATAL: password 'hunter22' wrong",
                            "28000", 0, DataErrorCause::LoginRefused);
    const _com_error described = raised.WithCauseSentence("The database server 'db' refused the login 'sa'.");
    face.outcome = failed_outcome();
    face.outcome.lastError = described;
    face.outcome.errorText = GetComErrorText(described);
    face.typedPassword = "hunter22";
    const RunReport report = RunWorkflow(WorkflowCommand::Register, face);
    EXPECT_EQ(report.exitCode, kExitLoginRefused);
    EXPECT_EQ(report.cause, DataErrorCause::LoginRefused);
    EXPECT_EQ(report.causeText, "The database server 'db' refused the login 'sa'.");
    EXPECT_EQ(report.driverMessage, "FATAL: password '***' wrong");
    EXPECT_EQ(report.errorSource, "ODBC driver x");
    EXPECT_EQ(report.hresult, static_cast<HRESULT>(0x80040E4D));
    EXPECT_THAT(report.dialogText, ::testing::StartsWith("ODBC driver x Error "));
    EXPECT_THAT(report.dialogText, ::testing::HasSubstr("refused the login 'sa'. FATAL: password '***' wrong"));
}

// A held-back signal that arrives while the database step runs ends the wait: the run is reported as interrupted,
// the settings are put back, and then the signal ends the process.
TEST_F(Workflow, SignalDuringTheDatabaseStepRollsBackThenEnds) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        LoggingFace face;
        face.duringStep = [] {
            ::kill(::getpid(), SIGTERM);
            std::this_thread::sleep_for(std::chrono::seconds(30)); // a server that does not answer
        };
        (void)RunWorkflow(WorkflowCommand::Register, face);
        ::_exit(0); // not reached: SIGTERM ends the process
    }
    ::close(fds[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    ::close(fds[0]);
}

// While another run holds the lock, a run waits its time, then reports why and touches nothing; a check waits the
// same way.
TEST_F(Workflow, BusyMachineChangesNothing) {
    MachineLockFailure failure;
    auto held = MachineLock::Acquire(MachineLock::Mode::Exclusive, std::chrono::milliseconds(0), failure);
    ASSERT_TRUE(held) << failure.text;
    for (WorkflowCommand command : {WorkflowCommand::Register, WorkflowCommand::Check}) {
        LoggingFace face;
        WorkflowOptions options;
        options.lockWait = std::chrono::milliseconds(200);
        const RunReport report = RunWorkflow(command, face, options);
        EXPECT_EQ(report.exitCode, kExitFailure);
        ASSERT_EQ(face.log.size(), 3u);
        EXPECT_THAT(face.log[1], ::testing::HasSubstr("another registration on this machine is still running"));
    }
    MachineLockFailure busy;
    EXPECT_FALSE(MachineLock::Acquire(MachineLock::Mode::Shared, std::chrono::milliseconds(0), busy));
    EXPECT_EQ(busy.kind, MachineLockFailure::Kind::Busy);
}

// A lock another run holds is waited for through the face, and the run goes on once it is given back.
TEST_F(Workflow, AHeldLockIsWaitedForThroughTheFace) {
    MachineLockFailure failure;
    std::optional<MachineLock> held =
        MachineLock::Acquire(MachineLock::Mode::Exclusive, std::chrono::milliseconds(0), failure);
    ASSERT_TRUE(held) << failure.text;
    std::thread release([&held] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        held.reset();
    });
    LoggingFace face;
    WorkflowOptions options;
    options.lockWait = std::chrono::seconds(30);
    const RunReport report = RunWorkflow(WorkflowCommand::Register, face, options);
    release.join();
    EXPECT_EQ(report.exitCode, kExitOk);
    EXPECT_THAT(face.log, ElementsAre("wait", "snapshot", "store", "wait", "show 0", "reload", "finish registered"));
}

// The default wait wakes as soon as the work ends instead of at its next look (every 20 ms): twenty runs whose
// database step takes a millisecond stay far below the 400 ms that looking would take.
TEST_F(Workflow, TheDefaultWaitWakesWhenTheWorkEnds) {
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        LoggingFace face;
        face.duringStep = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
        ASSERT_EQ(RunWorkflow(WorkflowCommand::Register, face).exitCode, kExitOk);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
}

// Shared holders coexist and keep an exclusive one out (and the other way round); the lock file is private, and a
// link planted in its place is refused, its target untouched.
TEST_F(Workflow, LockModesFileModeAndLinks) {
    MachineLockFailure error;
    const mode_t oldMask = ::umask(0);
    auto reader1 = MachineLock::Acquire(MachineLock::Mode::Shared, std::chrono::milliseconds(0), error);
    ::umask(oldMask);
    ASSERT_TRUE(reader1) << error.text;
    EXPECT_TRUE(lock_is_free(MachineLock::Mode::Shared));
    EXPECT_FALSE(lock_is_free(MachineLock::Mode::Exclusive));
    reader1.reset();
    EXPECT_TRUE(lock_is_free(MachineLock::Mode::Exclusive));
    struct stat st {};
    ASSERT_EQ(::stat(MachineLock::Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    fs::remove(MachineLock::Path().c_str());
    const fs::path decoy = m_dir.path() / "decoy";
    std::ofstream(decoy) << "decoy";
    fs::create_symlink(decoy, MachineLock::Path().c_str());
    EXPECT_FALSE(MachineLock::Acquire(MachineLock::Mode::Exclusive, std::chrono::milliseconds(0), error));
    EXPECT_THAT(error.text, ::testing::HasSubstr("cannot open the lock file"));
    EXPECT_EQ(read_all(decoy), "decoy");
}

// Signals that arrive while held back do not end the process; when the deferral ends, the first one does.
TEST(SignalDeferralTest, HoldsBackThenRaisesTheFirstSignal) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        {
            SignalDeferral deferral;
            ::raise(SIGTERM);
            ::raise(SIGINT);
            const char pending = static_cast<char>(SignalDeferral::Pending());
            (void)!::write(fds[1], &pending, 1);
        }
        ::_exit(0); // not reached: SIGTERM ends the process
    }
    ::close(fds[1]);
    char pending = 0;
    EXPECT_EQ(::read(fds[0], &pending, 1), 1);
    EXPECT_EQ(pending, SIGTERM);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    ::close(fds[0]);
}

// Nested deferrals: the inner one ends without raising; the outer one raises the first signal.
TEST(SignalDeferralTest, NestedDeferralRaisesOnlyAtTheOuterEnd) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        {
            SignalDeferral outer;
            {
                SignalDeferral inner;
                ::raise(SIGHUP);
            }
            if (SignalDeferral::Pending() != SIGHUP)
                ::_exit(3);
            ::raise(SIGINT);
        }
        ::_exit(0); // not reached: SIGHUP ends the process
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
}

} // namespace
