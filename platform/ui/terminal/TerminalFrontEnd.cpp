#include "platform/ui/terminal/TerminalFrontEnd.h"

#include "common/FormatString.h"
#include "platform/ui/terminal/NewtLibrary.h"
#include "platform/ui/terminal/TerminalLayout.h"
#include "platform/ui/terminal/TerminalSession.h"

#include <algorithm>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>

namespace enlistor::terminal_ui {
namespace {

constexpr int kCtrlC = 3; // the terminal's interrupt key; newt's raw mode delivers it as a key
constexpr std::string_view kBusyNotice = "Working, please wait...";

struct FormDeleter {
    void operator()(newtComponent form) const noexcept { Newt().newtFormDestroy(form); }
};
using Form = std::unique_ptr<std::remove_pointer_t<newtComponent>, FormDeleter>;

// A form without newt's built-in F12 exit, with Esc and Ctrl-C as cancel keys, that returns now and then to look for
// a terminating signal. The form owns (and destroys) every component added to it.
Form make_form() {
    Form form(Newt().newtForm(nullptr, nullptr, NEWT_FLAG_NOF12));
    if (!form) {
        throw std::bad_alloc();
    }
    Newt().newtFormAddHotKey(form.get(), NEWT_KEY_ESCAPE);
    Newt().newtFormAddHotKey(form.get(), kCtrlC);
    Newt().newtFormSetTimer(form.get(), kSignalPollMs);
    return form;
}

newtComponent add(newtComponent form, newtComponent component) {
    if (component == nullptr) {
        throw std::bad_alloc();
    }
    Newt().newtFormAddComponent(form, component);
    return component;
}

// A newt window (frame, title, shadow) open for the lifetime of the object; closing it restores what was under it.
class WindowScope {
public:
    WindowScope(const CellRect& client, const std::string& title) {
        if (Newt().newtOpenWindow(client.left, client.top, client.width, client.height, title.c_str()) != 0) {
            throw std::runtime_error("too many nested terminal windows");
        }
    }
    ~WindowScope() { Newt().newtPopWindow(); }
    WindowScope(const WindowScope&) = delete;
    WindowScope& operator=(const WindowScope&) = delete;
};

enum class FormExit { Component, Cancel, Signal, TerminalLost, Other };

struct FormOutcome {
    FormExit exit = FormExit::Other;
    newtComponent component = nullptr;
};

// Runs the form until it has something to report. A terminal that went away ends it: newt's own loop notices when
// reading the terminal keeps failing, and the form's timer looks for a hang-up meanwhile; once lost, no form runs
// again.
FormOutcome run_form(newtComponent form, SessionLease& session) {
    if (session.TerminalLost()) {
        return {FormExit::TerminalLost, nullptr};
    }
    newtExitStruct es{};
    Newt().newtFormRun(form, &es);
    switch (es.reason) {
    case newtExitStruct::NEWT_EXIT_COMPONENT:
        return {FormExit::Component, es.u.co};
    case newtExitStruct::NEWT_EXIT_HOTKEY:
        return {(es.u.key == NEWT_KEY_ESCAPE || es.u.key == kCtrlC) ? FormExit::Cancel : FormExit::Other, nullptr};
    case newtExitStruct::NEWT_EXIT_TIMER:
        if (session.SignalPending()) {
            return {FormExit::Signal, nullptr};
        }
        return {session.TerminalLost() ? FormExit::TerminalLost : FormExit::Other, nullptr};
    case newtExitStruct::NEWT_EXIT_ERROR:
        session.MarkTerminalLost(); // newt's reading of the terminal keeps failing: it is gone
        return {FormExit::TerminalLost, nullptr};
    default:
        return {};
    }
}

std::pair<int, int> screen_size() {
    int columns = 80;
    int rows = 24;
    Newt().newtGetScreenSize(&columns, &rows);
    return {columns, rows};
}

std::string repeat(std::string_view piece, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        out.append(piece);
    }
    return out;
}

// Columns a static text may use: up to the next control that starts on the same row, or the client's edge.
int room_right_of(const DialogLayout& layout, const ControlCells& self) {
    int limit = layout.client.width;
    for (const ControlCells& other : layout.controls) {
        const bool sameRow = other.cells.top <= self.cells.top && self.cells.top < other.cells.top + other.cells.height;
        if (&other != &self && sameRow && other.cells.left > self.cells.left &&
            other.control->kind != ControlKind::GroupBox) {
            limit = std::min(limit, other.cells.left - 1);
        }
    }
    return std::max(0, limit - self.cells.left);
}

class TerminalDialogWindow final : public IDialogWindow {
public:
    explicit TerminalDialogWindow(const DialogTemplate& tmpl) : tmpl_(tmpl) {
        for (const ControlTemplate& control : tmpl_.controls) {
            if (control.id != IDC_STATIC) {
                texts_[control.id] = std::string(control.text);
            }
        }
    }

    CString GetItemText(int id) override {
        if (live_) {
            if (const auto it = live_->entries.find(id); it != live_->entries.end()) {
                const char* value = Newt().newtEntryGetValue(it->second);
                return value != nullptr ? CString(value) : CString();
            }
        }
        const auto it = texts_.find(id);
        return it != texts_.end() ? it->second : CString();
    }

    void SetItemText(int id, const CString& text) override {
        const auto it = texts_.find(id);
        if (it == texts_.end()) {
            return; // no such control
        }
        it->second = text;
        if (!live_) {
            return;
        }
        if (const auto entry = live_->entries.find(id); entry != live_->entries.end()) {
            Newt().newtEntrySet(entry->second, text.c_str(), 1);
        }
    }

    int RunModal(IDialogEvents& events) override {
        if (live_) {
            throw std::logic_error("the dialog is already running");
        }
        SessionLease session;
        const auto [columns, rows] = screen_size();
        const DialogLayout layout = LayoutDialog(tmpl_, columns, rows);
        if (!layout.complete) {
            // Squeezed, some fields and buttons would hide others: say so rather than show part of the dialog.
            const ScreenSize needed = SmallestCompleteScreen(tmpl_);
            throw std::runtime_error(
                FormatString("the terminal (%dx%d) is too small for the dialog, which needs %dx%d; "
                             "enlarge it, or see \"enlistor --help\" for the command line",
                             columns, rows, needed.columns, needed.rows));
        }
        const bool utf8 = session.Utf8();
        std::string title = SanitizeText(tmpl_.title, utf8);
        std::replace(title.begin(), title.end(), '\n', ' ');

        WindowScope window(layout.client, title);
        Form form = make_form();
        LiveGuard guard(*this, session);
        newtComponent firstTabStop = build_controls(form.get(), layout, title, utf8);

        ended_ = false;
        result_ = IDCANCEL;
        events.OnWindowCreated();
        if (firstTabStop != nullptr) {
            Newt().newtFormSetCurrent(form.get(), firstTabStop);
        }
        while (!ended_) {
            const FormOutcome outcome = run_form(form.get(), session);
            switch (outcome.exit) {
            case FormExit::Component:
                dispatch_component(events, outcome.component);
                break;
            case FormExit::Cancel:
                events.OnCancelCommand();
                break;
            case FormExit::Signal:
                EndModal(IDCANCEL); // the session's end restores the terminal and re-raises the signal
                break;
            case FormExit::TerminalLost:
                events.OnCancelCommand();
                if (!ended_) {
                    EndModal(IDCANCEL); // nobody is left to answer: never spin on a dead terminal
                }
                break;
            case FormExit::Other:
                break;
            }
        }
        return result_;
    }

    void EndModal(int result) override {
        ended_ = true;
        result_ = result;
    }

    int MessageBox(const CString& text, const CString& caption, UINT /*type: MB_OK is the only kind*/) override {
        SessionLease session;
        if (session.SignalPending() || session.TerminalLost()) {
            return IDOK; // the process is ending, or nobody can answer: let the caller finish its work (a roll-back)
        }
        const auto [columns, rows] = screen_size();
        const MessageBoxLayout box = LayoutMessageBox(text, caption, columns, rows, session.Utf8());

        WindowScope window(box.client, box.title);
        Form form = make_form();
        std::string joined;
        for (std::size_t i = 0; i < box.lines.size(); ++i) {
            joined.append(i == 0 ? "" : "\n").append(box.lines[i]);
        }
        newtComponent textbox =
            add(form.get(), Newt().newtTextbox(box.text.left, box.text.top, box.text.width, box.text.height,
                                               box.scrolls ? NEWT_FLAG_SCROLL : 0));
        Newt().newtTextboxSetText(textbox, joined.c_str());
        if (box.scrolls) {
            Newt().newtComponentTakesFocus(textbox, 1); // so the operator can scroll it
        }
        newtComponent ok = add(
            form.get(), Newt().newtCompactButton(box.buttonLeft, box.buttonRow, std::string(kOkButtonText).c_str()));
        Newt().newtFormSetCurrent(form.get(), ok);
        while (true) {
            const FormOutcome outcome = run_form(form.get(), session);
            if ((outcome.exit == FormExit::Component && outcome.component == ok) || outcome.exit == FormExit::Cancel ||
                outcome.exit == FormExit::Signal || outcome.exit == FormExit::TerminalLost) {
                break;
            }
        }
        return IDOK;
    }

    void SetBusy(bool busy) override {
        busy_ = busy;
        if (!live_) {
            return;
        }
        show_status();
        Newt().newtRefresh();
        if (!busy) {
            live_->session->DiscardInput(); // keys pressed while busy are not commands for the dialog
        }
    }

private:
    struct Live {
        SessionLease* session = nullptr;
        std::map<int, newtComponent> entries;
        std::map<newtComponent, int> buttons;
        newtComponent status = nullptr;
        int statusWidth = 0;
    };

    // Marks the controls live for the span of RunModal; on every way out, keeps the entries' texts before the form
    // that owns them is destroyed.
    class LiveGuard {
    public:
        LiveGuard(TerminalDialogWindow& window, SessionLease& session) : window_(window) {
            window_.live_.emplace();
            window_.live_->session = &session;
        }
        ~LiveGuard() {
            for (const auto& [id, entry] : window_.live_->entries) {
                const char* value = Newt().newtEntryGetValue(entry);
                window_.texts_[id] = value != nullptr ? value : "";
            }
            window_.live_.reset();
        }
        LiveGuard(const LiveGuard&) = delete;
        LiveGuard& operator=(const LiveGuard&) = delete;

    private:
        TerminalDialogWindow& window_;
    };

    // Creates the components in template order, which is newt's focus order; returns the first tab stop.
    newtComponent build_controls(newtComponent form, const DialogLayout& layout, const std::string& title, bool utf8) {
        newtComponent firstTabStop = nullptr;
        for (const ControlCells& placed : layout.controls) {
            const ControlTemplate& control = *placed.control;
            const CellRect& r = placed.cells;
            const std::string text =
                SanitizeText(control.id != IDC_STATIC ? texts_[control.id] : std::string(control.text), utf8);
            newtComponent focusable = nullptr;
            switch (control.kind) {
            case ControlKind::Static:
                add(form,
                    Newt().newtLabel(r.left, r.top, FitToWidth(text, room_right_of(layout, placed), utf8).c_str()));
                break;
            case ControlKind::Edit: {
                int flags = NEWT_FLAG_SCROLL | NEWT_FLAG_RETURNEXIT;
                if ((control.style & enlistor::control_style::Password) != 0) {
                    flags |= NEWT_FLAG_PASSWORD;
                }
                focusable =
                    add(form, Newt().newtEntry(r.left, r.top, texts_[control.id].c_str(), r.width, nullptr, flags));
                live_->entries[control.id] = focusable;
                break;
            }
            case ControlKind::PushButton: {
                const int width = static_cast<int>(text.size()) + 3; // newt's compact button: "<text>" and a gap
                focusable = add(
                    form, Newt().newtCompactButton(r.left + std::max(0, (r.width - width) / 2), r.top, text.c_str()));
                live_->buttons[focusable] = control.id;
                break;
            }
            case ControlKind::Bitmap:
                add_banner(form, r, title, utf8);
                break;
            case ControlKind::GroupBox:
                add_frame(form, r, text, utf8);
                break;
            }
            if (focusable != nullptr && firstTabStop == nullptr) {
                firstTabStop = focusable;
            }
        }
        live_->statusWidth = std::max(1, layout.client.width - 2);
        live_->status = add(form, Newt().newtLabel(1, layout.statusRow, std::string(live_->statusWidth, ' ').c_str()));
        if (busy_) {
            show_status();
        }
        return firstTabStop;
    }

    // The banner bitmap, in a terminal: the dialog's title centred in the bitmap's place.
    static void add_banner(newtComponent form, const CellRect& r, const std::string& title, bool utf8) {
        const std::string text = FitToWidth(title, r.width, utf8);
        const int left = r.left + std::max(0, (r.width - DisplayWidth(text, utf8)) / 2);
        newtComponent banner = add(form, Newt().newtLabel(left, r.top + (r.height - 1) / 2, text.c_str()));
        Newt().newtLabelSetColors(banner, NEWT_COLORSET_TITLE);
    }

    // A group box: a frame with its text in the top edge.
    static void add_frame(newtComponent form, const CellRect& r, const std::string& text, bool utf8) {
        if (r.width < 4 || r.height < 2) {
            add(form, Newt().newtLabel(r.left, r.top, FitToWidth(text, r.width, utf8).c_str()));
            return;
        }
        const std::string_view horizontal = utf8 ? "\u2500" : "-";
        const std::string_view vertical = utf8 ? "\u2502" : "|";
        const std::string caption = FitToWidth(text, r.width - 6, utf8);
        std::string top = std::string(utf8 ? "\u250c" : "+") + std::string(horizontal);
        int used = 2;
        if (!caption.empty()) {
            top += " " + caption + " ";
            used += DisplayWidth(caption, utf8) + 2;
        }
        top += repeat(horizontal, r.width - used - 1) + (utf8 ? "\u2510" : "+");
        const std::string bottom =
            std::string(utf8 ? "\u2514" : "+") + repeat(horizontal, r.width - 2) + (utf8 ? "\u2518" : "+");
        add(form, Newt().newtLabel(r.left, r.top, top.c_str()));
        for (int row = r.top + 1; row < r.top + r.height - 1; ++row) {
            add(form, Newt().newtLabel(r.left, row, std::string(vertical).c_str()));
            add(form, Newt().newtLabel(r.left + r.width - 1, row, std::string(vertical).c_str()));
        }
        add(form, Newt().newtLabel(r.left, r.top + r.height - 1, bottom.c_str()));
    }

    void show_status() {
        std::string notice(busy_ ? kBusyNotice : std::string_view());
        notice.resize(static_cast<std::size_t>(live_->statusWidth), ' ');
        Newt().newtLabelSetText(live_->status, notice.c_str());
    }

    void dispatch_component(IDialogEvents& events, newtComponent component) {
        if (const auto button = live_->buttons.find(component); button != live_->buttons.end()) {
            events.OnButtonClicked(button->second);
            return;
        }
        for (const auto& [id, entry] : live_->entries) {
            if (entry == component) {
                events.OnOkCommand(); // Enter in an edit field: there is no default button
                return;
            }
        }
    }

    DialogTemplate tmpl_;
    std::map<int, CString> texts_; // every control with an id: its text while no form shows it
    std::optional<Live> live_;
    bool ended_ = false;
    int result_ = IDCANCEL;
    bool busy_ = false;
};

class TerminalFrontEndImpl final : public IFrontEnd {
public:
    std::unique_ptr<IDialogWindow> CreateDialogWindow(const DialogTemplate& tmpl) override {
        return std::make_unique<TerminalDialogWindow>(tmpl);
    }
};

} // namespace
} // namespace enlistor::terminal_ui

IFrontEnd& TerminalFrontEnd() {
    static enlistor::terminal_ui::TerminalFrontEndImpl frontEnd;
    return frontEnd;
}
