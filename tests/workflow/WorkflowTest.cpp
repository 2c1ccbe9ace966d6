// The Register workflow's order and lock, the machine lock itself, and held-back signals.
#include "workflow/ExitCodes.h"
#include "workflow/MachineLock.h"
#include "workflow/RegisterWorkflow.h"
#include "workflow/SignalDeferral.h"

#include "tests/support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
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
    CString error;
    return MachineLock::Acquire(mode, std::chrono::milliseconds(0), error).has_value();
}

class Workflow : public testing::Test {
protected:
    void SetUp() override { setenv("ENLISTOR_REGISTRY", (m_dir.path() / "registry").c_str(), 1); }
    TempDir m_dir;
};

// A face that logs each call, and notes whether the machine lock was free while it registered.
class LoggingFace final : public IRegisterFace {
public:
    std::vector<std::string> log;
    std::optional<WorkflowStop> snapshotStop, storeStop;
    int registrationResult = 1;
    bool lockFreeWhileRegistering = true;

    std::optional<WorkflowStop> TakeSnapshot(DatabaseSettingsValue& snapshot) override {
        log.push_back("snapshot");
        snapshot.server = "before";
        return snapshotStop;
    }
    std::optional<WorkflowStop> StoreTyped(DatabaseSettingsValue& typed) override {
        log.push_back("store");
        typed.server = "typed";
        return storeStop;
    }
    RegistrationOutcome Register() override {
        log.push_back("register");
        lockFreeWhileRegistering = lock_is_free(MachineLock::Mode::Shared);
        RegistrationOutcome outcome;
        outcome.result = registrationResult;
        return outcome;
    }
    void Report(const WorkflowResult& result) override {
        log.push_back("report " + std::to_string(result.exitCode) +
                      (result.failure.empty() ? "" : " " + result.failure));
    }
    bool Restore(const DatabaseSettingsValue& snapshot, SettingsStoreError&) override {
        log.push_back("restore " + snapshot.server);
        return true;
    }
    DatabaseSettingsValue Reload() override {
        log.push_back("reload");
        return {};
    }
};

// Success: report, no restore, reload; a failure reports before it restores; the lock is held while registering and
// free afterwards.
TEST_F(Workflow, RunsTheStepsInOrderUnderTheLock) {
    LoggingFace ok;
    EXPECT_EQ(RunRegisterWorkflow(ok).exitCode, kExitOk);
    EXPECT_THAT(ok.log, ElementsAre("snapshot", "store", "register", "report 0", "reload"));
    EXPECT_FALSE(ok.lockFreeWhileRegistering);
    EXPECT_TRUE(lock_is_free());

    LoggingFace failing;
    failing.registrationResult = 0;
    const WorkflowResult result = RunRegisterWorkflow(failing);
    EXPECT_EQ(result.exitCode, kExitFailure);
    EXPECT_THAT(failing.log, ElementsAre("snapshot", "store", "register", "report 1", "restore before", "reload"));
}

// A face that stops the run: before storing anything only report and reload follow; after storing some values the
// snapshot is put back; a snapshot that cannot be taken stops everything.
TEST_F(Workflow, StopsBeforeRegisteringWhenTheFaceSays) {
    LoggingFace nothingStored;
    nothingStored.storeStop = WorkflowStop{"no server", kExitUsage, false};
    EXPECT_EQ(RunRegisterWorkflow(nothingStored).exitCode, kExitUsage);
    EXPECT_THAT(nothingStored.log, ElementsAre("snapshot", "store", "report 2 no server", "reload"));

    LoggingFace someStored;
    someStored.storeStop = WorkflowStop{"disk full", kExitNotAllowed, true};
    EXPECT_EQ(RunRegisterWorkflow(someStored).exitCode, kExitNotAllowed);
    EXPECT_THAT(someStored.log, ElementsAre("snapshot", "store", "report 6 disk full", "restore before", "reload"));

    LoggingFace unreadable;
    unreadable.snapshotStop = WorkflowStop{"cannot read", kExitNotAllowed, false};
    EXPECT_EQ(RunRegisterWorkflow(unreadable).exitCode, kExitNotAllowed);
    EXPECT_THAT(unreadable.log, ElementsAre("snapshot", "report 6 cannot read"));
}

// While another run holds the lock, a run waits its time, then reports why and touches nothing.
TEST_F(Workflow, BusyMachineChangesNothing) {
    CString error;
    auto held = MachineLock::Acquire(MachineLock::Mode::Exclusive, std::chrono::milliseconds(0), error);
    ASSERT_TRUE(held) << error;
    LoggingFace face;
    WorkflowOptions options;
    options.lockWait = std::chrono::milliseconds(200);
    const WorkflowResult result = RunRegisterWorkflow(face, options);
    EXPECT_EQ(result.exitCode, kExitFailure);
    ASSERT_EQ(face.log.size(), 1u);
    EXPECT_THAT(face.log[0], ::testing::HasSubstr("another registration on this machine is still running"));
}

// Shared holders coexist and keep an exclusive one out (and the other way round); the lock file is private, and a
// link planted in its place is refused, its target untouched.
TEST_F(Workflow, LockModesFileModeAndLinks) {
    CString error;
    const mode_t oldMask = ::umask(0);
    auto reader1 = MachineLock::Acquire(MachineLock::Mode::Shared, std::chrono::milliseconds(0), error);
    ::umask(oldMask);
    ASSERT_TRUE(reader1) << error;
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
    EXPECT_THAT(error, ::testing::HasSubstr("cannot open the lock file"));
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

} // namespace
