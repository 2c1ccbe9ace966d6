// A dialog window driven by a script instead of an operator: it records every call the dialog framework makes
// on it, in order, into a shared log, and plays the operator's actions (typing, clicks, Enter, Esc) from a list.
#pragma once

#include "platform/ui/DialogWindow.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace enlistor::test {

class ScriptedWindow;

// One operator action: it may type into fields, click buttons, or report commands through the events.
using ScriptStep = std::function<void(ScriptedWindow&, IDialogEvents&)>;

class ScriptedWindow final : public IDialogWindow {
public:
    ScriptedWindow(std::vector<std::string>& log, std::vector<ScriptStep> script)
        : m_log(log), m_script(std::move(script)) {}

    // Called when a message box is shown, before the operator closes it.
    std::function<void(const CString& text, const CString& caption)> onMessageBox;

    CString GetItemText(int id) override {
        m_log.push_back("get " + std::to_string(id));
        return m_fields[id];
    }
    void SetItemText(int id, const CString& text) override {
        m_log.push_back("set " + std::to_string(id) + "=" + text);
        m_fields[id] = text;
    }
    int RunModal(IDialogEvents& events) override {
        m_log.push_back("create");
        events.OnWindowCreated();
        if (!m_ended) {
            m_log.push_back("show");
        }
        for (std::size_t i = 0; i < m_script.size() && !m_ended; ++i) {
            m_script[i](*this, events);
        }
        if (!m_ended) {
            m_log.push_back("script ended with the dialog open");
            return -999;
        }
        return m_result;
    }
    void EndModal(int result) override {
        m_log.push_back("end " + std::to_string(result));
        m_ended = true;
        m_result = result;
    }
    int MessageBox(const CString& text, const CString& caption, UINT type) override {
        m_log.push_back("box [" + caption + "] " + text + " type " + std::to_string(type));
        if (onMessageBox) {
            onMessageBox(text, caption);
        }
        return IDOK;
    }
    void SetBusy(bool busy) override { m_log.push_back(busy ? "busy" : "idle"); }
    void SetIcon(int iconResource, bool big) override {
        m_log.push_back("icon " + std::to_string(iconResource) + (big ? " big" : " small"));
    }

    // The operator types into a field (no log entry: the dialog does not see typing).
    void Type(int id, const CString& text) { m_fields[id] = text; }
    const CString& Field(int id) { return m_fields[id]; }

private:
    std::vector<std::string>& m_log;
    std::vector<ScriptStep> m_script;
    std::map<int, CString> m_fields;
    bool m_ended = false;
    int m_result = 0;
};

inline ScriptStep TypeText(int id, CString text) {
    return [id, text = std::move(text)](ScriptedWindow& window, IDialogEvents&) { window.Type(id, text); };
}
inline ScriptStep Click(int id) {
    return [id](ScriptedWindow&, IDialogEvents& events) { events.OnButtonClicked(id); };
}
inline ScriptStep PressEnterInEdit() {
    return [](ScriptedWindow&, IDialogEvents& events) { events.OnOkCommand(); };
}
inline ScriptStep PressEsc() {
    return [](ScriptedWindow&, IDialogEvents& events) { events.OnCancelCommand(); };
}
inline ScriptStep Inspect(std::function<void(ScriptedWindow&)> check) {
    return [check = std::move(check)](ScriptedWindow& window, IDialogEvents&) { check(window); };
}

// Creates scripted windows and keeps the last one's fields visible to the test after the dialog is gone.
class ScriptedFrontEnd final : public IFrontEnd {
public:
    explicit ScriptedFrontEnd(std::vector<std::string>& log) : m_log(log) {}

    std::vector<ScriptStep> script;
    std::function<void(ScriptedWindow&)> configure;
    int created = 0;

    std::unique_ptr<IDialogWindow> CreateDialogWindow(const DialogTemplate& tmpl) override {
        m_log.push_back("window " + std::to_string(tmpl.id));
        ++created;
        auto window = std::make_unique<ScriptedWindow>(m_log, script);
        if (configure) {
            configure(*window);
        }
        return window;
    }

private:
    std::vector<std::string>& m_log;
};

// Installs a front end for the lifetime of the scope.
class FrontEndScope {
public:
    explicit FrontEndScope(IFrontEnd* frontEnd) : m_previous(GetFrontEnd()) { SetFrontEnd(frontEnd); }
    ~FrontEndScope() { SetFrontEnd(m_previous); }
    FrontEndScope(const FrontEndScope&) = delete;
    FrontEndScope& operator=(const FrontEndScope&) = delete;

private:
    IFrontEnd* m_previous;
};

} // namespace enlistor::test
