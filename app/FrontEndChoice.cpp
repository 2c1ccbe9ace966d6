#include "app/FrontEndChoice.h"

namespace {

bool is_set(const FrontEndEnvironment& env, const char* name) {
    const char* value = env.getEnv ? env.getEnv(name) : nullptr;
    return value != nullptr && *value != '\0';
}

void set_why(std::string* why, std::string line) {
    if (why != nullptr) {
        *why = std::move(line);
    }
}

} // namespace

FrontEndKind ChooseFrontEnd(const FrontEndEnvironment& env, std::string* why) {
    const bool display = is_set(env, "DISPLAY") || is_set(env, "WAYLAND_DISPLAY") || is_set(env, "QT_QPA_PLATFORM");
    std::string windowWhy;
    if (display) {
        if (!env.openWindow) {
            windowWhy = "this build has no window front end";
        } else if (env.openWindow(&windowWhy)) {
            set_why(why, "");
            return FrontEndKind::Window;
        } else if (windowWhy.empty()) {
            windowWhy = "the window cannot be shown";
        }
    }
    std::string terminalWhy;
    if (env.terminalAvailable && env.terminalAvailable(&terminalWhy)) {
        set_why(why, display ? windowWhy + "; showing the dialog in the terminal" : "");
        return FrontEndKind::Terminal;
    }
    std::string line = display ? windowWhy : "no display (DISPLAY/WAYLAND_DISPLAY unset)";
    line += " and no usable terminal";
    if (!env.terminalAvailable) {
        line += " (this build has no terminal front end)";
    } else if (!terminalWhy.empty()) {
        line += " (" + terminalWhy + ")";
    }
    line += "; run it in a desktop session or an interactive terminal, or see \"enlistor --help\" for the command "
            "line";
    set_why(why, line);
    return FrontEndKind::None;
}
