// Shows dialog template 102 through the terminal front end with a scripted events handler, so tests can drive the
// real front end in a terminal and read back what the dialog reported.
//
//   terminal_demo --out FILE [--register-text-file FILE] [--register-caption TEXT] [--busy-ms N]
//                 [--set ID=TEXT]... [--throw-on-register]
//
// Register: busy for N ms, then one message box (default "Server registered successfully" under "Success").
// Cancel, Esc: result 2. Enter in a field (the OK command): the five field texts and result 1.
// Every event is appended to FILE as one line, flushed at once.
#include "platform/ui/terminal/TerminalFrontEnd.h"
#include "res/DialogTemplate.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kRegister = 1005;

struct Options {
    std::string out;
    std::string registerText = "Server registered successfully";
    std::string registerCaption = "Success";
    int busyMs = 0;
    bool throwOnRegister = false;
    std::map<int, std::string> presets;
};

class Log {
public:
    explicit Log(const std::string& path) : file_(path, std::ios::app) {}
    void Line(const std::string& line) {
        file_ << line << '\n';
        file_.flush();
    }

private:
    std::ofstream file_;
};

class ScriptedEvents final : public IDialogEvents {
public:
    ScriptedEvents(IDialogWindow& window, const Options& options, Log& log)
        : window_(window), options_(options), log_(log) {}

    void OnWindowCreated() override {
        log_.Line("created");
        for (const auto& [id, text] : options_.presets) {
            window_.SetItemText(id, text);
        }
    }

    void OnButtonClicked(int id) override {
        log_.Line("click " + std::to_string(id));
        if (id == IDCANCEL) {
            window_.EndModal(IDCANCEL);
            return;
        }
        if (id != kRegister) {
            return;
        }
        if (options_.throwOnRegister) {
            throw std::runtime_error("scripted failure in the Register handler");
        }
        window_.SetBusy(true);
        log_.Line("busy");
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.busyMs));
        window_.SetBusy(false);
        log_.Line("messagebox " +
                  std::to_string(window_.MessageBox(options_.registerText, options_.registerCaption, MB_OK)));
        log_.Line("after messagebox field1000=" + window_.GetItemText(1000));
    }

    void OnOkCommand() override {
        log_.Line("ok");
        for (int id = 1000; id <= 1004; ++id) {
            log_.Line("field" + std::to_string(id) + "=" + window_.GetItemText(id));
        }
        window_.EndModal(IDOK);
    }

    void OnCancelCommand() override {
        log_.Line("cancel");
        window_.EndModal(IDCANCEL);
    }

private:
    IDialogWindow& window_;
    const Options& options_;
    Log& log_;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw std::invalid_argument(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--out") {
            options.out = value();
        } else if (arg == "--register-text-file") {
            std::ifstream in(value(), std::ios::binary);
            options.registerText.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } else if (arg == "--register-caption") {
            options.registerCaption = value();
        } else if (arg == "--busy-ms") {
            options.busyMs = std::stoi(value());
        } else if (arg == "--throw-on-register") {
            options.throwOnRegister = true;
        } else if (arg == "--set") {
            const std::string setting = value();
            const auto eq = setting.find('=');
            if (eq == std::string::npos) {
                throw std::invalid_argument("--set needs ID=TEXT");
            }
            options.presets[std::stoi(setting.substr(0, eq))] = setting.substr(eq + 1);
        } else {
            throw std::invalid_argument("unknown argument " + arg);
        }
    }
    if (options.out.empty()) {
        throw std::invalid_argument("--out FILE is required");
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "terminal_demo: " << e.what() << '\n';
        return 64;
    }
    Log log(options.out);
    log.Line("pid " + std::to_string(::getpid()));
    std::string why;
    if (!TerminalAvailable(&why)) {
        std::cerr << "terminal_demo: cannot use the terminal: " << why << '\n';
        log.Line("unavailable " + why);
        return 2;
    }
    const DialogTemplate* tmpl = FindDialogTemplate(102);
    if (tmpl == nullptr) {
        std::cerr << "terminal_demo: no dialog template 102\n";
        return 70;
    }
    try {
        auto window = TerminalFrontEnd().CreateDialogWindow(*tmpl);
        ScriptedEvents events(*window, options, log);
        const int result = window->RunModal(events);
        log.Line("result " + std::to_string(result));
    } catch (const std::exception& e) {
        log.Line(std::string("exception ") + e.what());
        std::cerr << "terminal_demo: " << e.what() << '\n';
        return 3;
    }
    return 0;
}
