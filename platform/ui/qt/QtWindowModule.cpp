// The window module's entry: opens the display the environment names and hands back the Qt front end. Qt itself
// ends the process (qFatal, SIGABRT) when no platform it tries can be opened, so the display is tried here first
// and Qt is only given platforms that answered.
#include "platform/ui/WindowModule.h"
#include "platform/ui/qt/QtFrontEnd.h"

#include <QLibraryInfo>

#include <xcb/xcb.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace {

std::string env_text(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Whether an X server answers on the display DISPLAY names (Qt's xcb platform connects the same way).
bool x_display_answers(std::string* why) {
    const std::string display = env_text("DISPLAY");
    if (display.empty()) {
        *why = "DISPLAY is not set";
        return false;
    }
    xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
    const bool answers = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    if (!answers) {
        *why = "cannot open display \"" + display + "\"";
    }
    return answers;
}

bool wayland_plugin_installed() {
    const std::filesystem::path platforms =
        std::filesystem::path(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString()) / "platforms";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(platforms, error)) {
        if (entry.path().filename().string().starts_with("libqwayland")) {
            return true;
        }
    }
    return false;
}

// Whether a Wayland compositor listens where WAYLAND_DISPLAY (or an inherited WAYLAND_SOCKET) points, and Qt has
// its Wayland platform installed.
bool wayland_display_answers(std::string* why) {
    if (!wayland_plugin_installed()) {
        *why = "Qt's Wayland platform is not installed (package qt6-wayland)";
        return false;
    }
    if (!env_text("WAYLAND_SOCKET").empty()) {
        return true;
    }
    const std::string name = env_text("WAYLAND_DISPLAY");
    if (name.empty()) {
        *why = "WAYLAND_DISPLAY is not set";
        return false;
    }
    std::string path = name;
    if (name.front() != '/') {
        const std::string runtime = env_text("XDG_RUNTIME_DIR");
        if (runtime.empty()) {
            *why = "cannot open Wayland display \"" + name + "\" (XDG_RUNTIME_DIR is not set)";
            return false;
        }
        path = runtime + "/" + name;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    bool answers = false;
    if (path.size() < sizeof address.sun_path) {
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            answers = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
        }
    }
    if (!answers) {
        *why = "cannot open Wayland display \"" + name + "\"";
    }
    return answers;
}

// Whether Qt's platform `entry` ("xcb", "wayland", "offscreen:options"...) can be opened. Platforms that need no
// display server (offscreen, minimal, vnc, eglfs...) are taken as they are.
bool platform_answers(std::string_view entry, std::string* why) {
    const std::string_view name = entry.substr(0, entry.find(':'));
    if (name == "xcb") {
        return x_display_answers(why);
    }
    if (name.starts_with("wayland")) {
        return wayland_display_answers(why);
    }
    return true;
}

std::vector<std::string> split_platforms(const std::string& list) {
    std::vector<std::string> entries;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(';', start), list.size());
        if (end > start) {
            entries.push_back(list.substr(start, end - start));
        }
        start = end + 1;
    }
    return entries;
}

// The platforms to offer Qt, in Qt's own order: QT_QPA_PLATFORM when set; else Wayland first in a Wayland
// session, X otherwise, each only when its display variable is set.
std::vector<std::string> candidate_platforms() {
    const std::string named = env_text("QT_QPA_PLATFORM");
    if (!named.empty()) {
        return split_platforms(named);
    }
    std::vector<std::string> candidates;
    const bool x = !env_text("DISPLAY").empty();
    const bool wayland = !env_text("WAYLAND_DISPLAY").empty() || !env_text("WAYLAND_SOCKET").empty();
    if (wayland && env_text("XDG_SESSION_TYPE") == "wayland") {
        candidates.emplace_back("wayland");
    }
    if (x) {
        candidates.emplace_back("xcb");
    }
    if (wayland && env_text("XDG_SESSION_TYPE") != "wayland") {
        candidates.emplace_back("wayland");
    }
    return candidates;
}

class QtWindowSession final : public IWindowSession {
public:
    QtWindowSession(int& argc, char** argv) : m_session(argc, argv) {}
    IFrontEnd& FrontEnd() override { return m_session.FrontEnd(); }

private:
    QtApplicationSession m_session;
};

} // namespace

extern "C" __attribute__((visibility("default"))) IWindowSession*
enlistor_open_window_session(int& argc, char** argv, std::string& whyNot) noexcept {
    try {
        std::string answered;
        std::string firstWhy;
        for (const std::string& entry : candidate_platforms()) {
            std::string why;
            if (platform_answers(entry, &why)) {
                answered += (answered.empty() ? "" : ";") + entry;
            } else if (firstWhy.empty()) {
                firstWhy = why;
            }
        }
        if (answered.empty()) {
            whyNot = firstWhy.empty() ? "no display is set" : firstWhy;
            return nullptr;
        }
        // Qt tries the listed platforms in order; each of them answered just now.
        ::setenv("QT_QPA_PLATFORM", answered.c_str(), 1);
        return new QtWindowSession(argc, argv);
    } catch (const std::exception& e) {
        whyNot = std::string("the window cannot be shown (") + e.what() + ")";
    } catch (...) {
        whyNot = "the window cannot be shown";
    }
    return nullptr;
}

static_assert(std::is_same_v<decltype(enlistor_open_window_session), OpenWindowSessionFunction>);
