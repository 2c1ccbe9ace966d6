#include "platform/ui/WindowModule.h"

#include "platform/process/RuntimeLibrary.h"

#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

void set_why(std::string* whyNot, std::string line) {
    if (whyNot != nullptr) {
        *whyNot = std::move(line);
    }
}

} // namespace

WindowModuleSession::WindowModuleSession(std::unique_ptr<RuntimeLibrary> module, IWindowSession* session) noexcept
    : m_module(std::move(module)), m_session(session) {}

WindowModuleSession::~WindowModuleSession() = default;

std::string WindowModulePath() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        return {};
    }
    std::string path(self, static_cast<size_t>(length));
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    path.resize(slash);
    return path + "/../lib/enlistor/window/enlistor-window.so";
}

std::unique_ptr<WindowModuleSession> OpenWindowModule(const std::string& modulePath, int& argc, char** argv,
                                                      std::string* whyNot) {
    struct stat info {};
    if (modulePath.empty() || ::stat(modulePath.c_str(), &info) != 0) {
        const int error = modulePath.empty() ? ENOENT : errno;
        set_why(whyNot, "the window is not installed (" +
                            (modulePath.empty() ? std::string("enlistor-window.so") : modulePath) + ": " +
                            std::strerror(error) + "; the package enlistor-gui provides it)");
        return nullptr;
    }
    // Opened local: the module's Qt and its own copies of the dialog framework stay out of this program's namespace.
    auto module = std::make_unique<RuntimeLibrary>(modulePath.c_str());
    OpenWindowSessionFunction* open = nullptr;
    module->Resolve(open, kOpenWindowSessionSymbol);
    if (open == nullptr) {
        set_why(whyNot, "the window cannot be loaded (" + module->Failure() + ")");
        return nullptr;
    }
    std::string why;
    IWindowSession* session = open(argc, argv, why);
    if (session == nullptr) {
        set_why(whyNot, why.empty() ? std::string("the window cannot be shown") : why);
        return nullptr;
    }
    return std::make_unique<WindowModuleSession>(std::move(module), session);
}
