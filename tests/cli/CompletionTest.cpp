#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kScript = ENLISTOR_SOURCE_DIR "/res/completion/enlistor";

struct shell_result {
    int status = -1;
    std::string output;
};

// Runs a bash script (no profile, no rc file) in the directory given, with the completion's path in $1.
shell_result run_bash(const std::string& script, const std::filesystem::path& directory = "/") {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("enlistor-completion-" + std::to_string(getpid()) + ".sh");
    std::ofstream(file) << script;
    const std::string command =
        "cd '" + directory.string() + "' && bash --norc --noprofile '" + file.string() + "' '" + kScript + "' 2>&1";
    shell_result result;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return result;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        result.output.append(buffer, got);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::filesystem::remove(file);
    return result;
}

// The words bash offers when the line so far is the given words (the last one being completed).
constexpr char kComplete[] = R"(source "$1"
offer() { COMP_WORDS=("$@"); COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 )); COMPREPLY=(); _enlistor; echo "${COMPREPLY[*]}"; }
)";

// The file is valid bash, and sourcing it registers the completion function for enlistor.
TEST(BashCompletion, ParsesAndRegisters) {
    EXPECT_EQ(run_bash("bash -n \"$1\" && echo ok").output, "ok\n");
    const shell_result registered = run_bash("source \"$1\"\ncomplete -p enlistor\n");
    EXPECT_EQ(registered.status, 0) << registered.output;
    EXPECT_EQ(registered.output, "complete -F _enlistor enlistor\n");
}

// Commands first, then each command's options (those not yet given), and file names after --password-file in
// either spelling.
TEST(BashCompletion, OffersCommandsOptionsAndFiles) {
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("enlistor-completion-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory);
    std::ofstream(directory / "suite-password");
    const shell_result result = run_bash(std::string(kComplete) + R"(
offer enlistor unr
offer enlistor ""
offer enlistor register --server db01 --
offer enlistor check --password-file suite
offer enlistor check --password-file = suite
offer enlistor check --password-file=suite
offer enlistor unregister --json --j
)",
                                         directory);
    std::filesystem::remove_all(directory);
    EXPECT_EQ(result.output, "unregister\n"
                             "register check unregister help --help --version\n"
                             "--ip --database --login --password-file --address --ca-file --trust-cert "
                             "--insecure-login --json --help\n"
                             "suite-password\n"
                             "suite-password\n"
                             "--password-file=suite-password\n"
                             "\n");
}

} // namespace
