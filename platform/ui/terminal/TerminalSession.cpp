#include "platform/ui/terminal/TerminalSession.h"

#include "platform/process/SignalDeferral.h"
#include "platform/ui/terminal/NewtLibrary.h"
#include "platform/ui/terminal/TerminalFrontEnd.h"

#include <array>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace enlistor::terminal_ui {
namespace {

// Set once the terminal is seen gone; never cleared (a hung-up terminal does not come back to this process).
bool g_terminal_lost = false;

// Keys DiscardInput reads after flushing the terminal's queue: what an operator could type meanwhile, not what a
// broken terminal that always reports input could supply.
constexpr int kMaxDiscardedKeys = 4096;

int terminal_read_fd() {
    return *Newt().SLang_TT_Read_FD >= 0 ? *Newt().SLang_TT_Read_FD : STDIN_FILENO;
}

// A hung-up or closed terminal reports POLLHUP or POLLERR to poll() (and reads give end of input or EIO).
bool terminal_hung_up() {
    pollfd fds[2] = {{terminal_read_fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    const nfds_t count = fds[0].fd == STDIN_FILENO ? 1 : 2; // newt watches stdin; slang reads its own descriptor
    if (::poll(fds, count, 0) <= 0) {
        return false;
    }
    for (nfds_t i = 0; i < count; ++i) {
        if ((fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return true;
        }
    }
    return false;
}

struct SessionState {
    int depth = 0;
    std::optional<SignalDeferral> signals; // held while the session is open
    std::string savedLocale;
    std::terminate_handler previousTerminate = nullptr;
    bool utf8 = false;
};

SessionState g_state;

void restore_locale() {
    std::setlocale(LC_ALL, g_state.savedLocale.c_str());
}

[[noreturn]] void on_terminate() {
    if (g_state.depth > 0) {
        g_state.depth = 0;
        Newt().newtFinished();
    }
    if (g_state.previousTerminate != nullptr) {
        g_state.previousTerminate();
    }
    std::abort();
}

void start_session() {
    std::string why;
    if (!TerminalAvailable(&why)) {
        throw std::runtime_error(why);
    }
    g_state.signals.emplace();
    const char* locale = std::setlocale(LC_ALL, nullptr);
    g_state.savedLocale = locale != nullptr ? locale : "C";
    // NO_COLOR set and not empty (no-color.org): newt's monochrome palette, which newtInit takes when NEWT_MONO is
    // set; the focused button in reverse video and titles in bold, so the focus stays visible without colour.
    const char* noColor = std::getenv("NO_COLOR");
    const bool monochrome = noColor != nullptr && *noColor != '\0';
    if (monochrome) {
        ::setenv("NEWT_MONO", "1", 1);
    }
    // newtInit takes the whole locale from the environment; keep its character set (newt measures text with
    // it) but give every other category back to the program.
    if (Newt().newtInit() < 0) {
        Newt().SLsmg_reset_smg();
        Newt().SLang_reset_tty();
        restore_locale();
        g_state.signals.reset();
        throw std::runtime_error("the terminal cannot be switched to full-screen mode");
    }
    const char* ctype = std::setlocale(LC_CTYPE, nullptr);
    const std::string sessionCtype = ctype != nullptr ? ctype : "C";
    restore_locale();
    std::setlocale(LC_CTYPE, sessionCtype.c_str());
    g_state.utf8 = Newt().SLutf8_is_utf8_mode() != 0;
    if (monochrome) {
        for (const int focused : {NEWT_COLORSET_ACTBUTTON, NEWT_COLORSET_ACTCHECKBOX, NEWT_COLORSET_ACTLISTBOX,
                                  NEWT_COLORSET_ACTSELLISTBOX, NEWT_COLORSET_ACTTEXTBOX}) {
            Newt().SLtt_set_mono(focused, nullptr, SLTT_REV_MASK);
        }
        Newt().SLtt_set_mono(NEWT_COLORSET_TITLE, nullptr, SLTT_BOLD_MASK);
    }
    g_state.previousTerminate = std::set_terminate(on_terminate);
    Newt().newtCls();
}

void finish_session() noexcept {
    std::set_terminate(g_state.previousTerminate);
    g_state.previousTerminate = nullptr;
    Newt().newtFinished();
    restore_locale();
    g_state.signals.reset(); // a signal that arrived meanwhile is raised now, with the terminal given back
}

std::string printable(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0' && out.size() < 64; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        out.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    }
    return out;
}

} // namespace

SessionLease::SessionLease() {
    if (g_state.depth == 0) {
        start_session();
    }
    ++g_state.depth;
}

SessionLease::~SessionLease() {
    if (g_state.depth > 0 && --g_state.depth == 0) {
        finish_session();
    }
}

bool SessionLease::Utf8() const {
    return g_state.utf8;
}

bool SessionLease::SignalPending() const {
    return SignalDeferral::Pending() != 0;
}

bool SessionLease::TerminalLost() const {
    if (!g_terminal_lost && terminal_hung_up()) {
        g_terminal_lost = true;
    }
    return g_terminal_lost;
}

void SessionLease::MarkTerminalLost() {
    g_terminal_lost = true;
}

// Not slang's own flush: it reads for as long as input is pending, and a hung-up terminal is always "readable"
// (every read returns end of input at once), so it never returns there.
void SessionLease::DiscardInput() {
    if (TerminalLost()) {
        return;
    }
    ::tcflush(terminal_read_fd(), TCIFLUSH);
    *Newt().SLang_Input_Buffer_Len = 0; // keys slang already read ahead
    for (int i = 0; i < kMaxDiscardedKeys && Newt().SLang_input_pending(0) > 0; ++i) {
        if (Newt().SLang_getkey() == SLANG_GETKEY_ERROR) {
            MarkTerminalLost(); // end of input or a read error
            return;
        }
    }
}

} // namespace enlistor::terminal_ui

bool TerminalAvailable(std::string* whyNot) {
    auto fail = [whyNot](std::string reason) {
        if (whyNot != nullptr) {
            *whyNot = std::move(reason);
        }
        return false;
    };
    if (::isatty(STDIN_FILENO) != 1) {
        return fail("standard input is not a terminal");
    }
    if (::isatty(STDOUT_FILENO) != 1) {
        return fail("standard output is not a terminal");
    }
    const char* term = std::getenv("TERM");
    if (term == nullptr || *term == '\0') {
        return fail("TERM is not set, so the terminal type is unknown");
    }
    if (std::strcmp(term, "dumb") == 0) {
        return fail("the terminal type \"dumb\" cannot position the cursor");
    }
    std::string why;
    if (enlistor::terminal_ui::LoadNewt(&why) == nullptr) {
        return fail(why);
    }
    // The same look-up newt makes at start-up, without newt's exit on failure.
    std::string termName(term);
    const int status = enlistor::terminal_ui::Newt().SLtt_initialize(termName.data());
    if (status == -1) {
        return fail("the terminal type \"" + enlistor::terminal_ui::printable(term) +
                    "\" is not in the terminal database");
    }
    if (status != 0) {
        return fail("the terminal type \"" + enlistor::terminal_ui::printable(term) +
                    "\" cannot clear the screen or position the cursor");
    }
    return true;
}
