#include "app/FrontEndChoice.h"

namespace {

bool is_set(const FrontEndEnvironment& env, const char* name) {
    const char* value = env.getEnv ? env.getEnv(name) : nullptr;
    return value != nullptr && *value != '\0';
}

} // namespace

FrontEndKind ChooseFrontEnd(const FrontEndEnvironment& env, std::string* why) {
    const bool display = is_set(env, "DISPLAY") || is_set(env, "WAYLAND_DISPLAY") || is_set(env, "QT_QPA_PLATFORM");
    if (display && env.windowBuilt) {
        return FrontEndKind::Window;
    }
    std::string terminalWhy;
    if (env.terminalAvailable && env.terminalAvailable(&terminalWhy)) {
        return FrontEndKind::Terminal;
    }
    if (why != nullptr) {
        std::string line =
            display ? "this build has no window front end" : "no display (DISPLAY/WAYLAND_DISPLAY unset)";
        line += " and no usable terminal";
        if (!env.terminalAvailable) {
            line += " (this build has no terminal front end)";
        } else if (!terminalWhy.empty()) {
            line += " (" + terminalWhy + ")";
        }
        line += "; run it in a desktop session or an interactive terminal, or see \"enlistor --help\" for the "
                "command line";
        *why = line;
    }
    return FrontEndKind::None;
}
