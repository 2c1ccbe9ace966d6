// The Qt realisation of a dialog window (internal to the window front end and its tests).
#pragma once

#include "platform/ui/DialogUnits.h"
#include "platform/ui/DialogWindow.h"

#include <QDialog>
#include <QFont>
#include <QPointer>

#include <map>

class QWidget;

namespace enlistor::qt_ui {

// The font a template names, as this platform has it: "MS Shell Dlg" (and other Windows dialog fonts) become
// DejaVu Sans, at the template's point size.
QFont DialogFont(const DialogTemplate& tmpl);
// The base units of a font (average character width by the 52-letter rule, line height).
DialogBaseUnits BaseUnitsOf(const QFont& font);
// The Qt resource path of an image resource (":/res/<file>"), or an empty string.
QString ImagePath(int resource);

class DialogWidget;

class QtDialogWindow final : public IDialogWindow {
public:
    explicit QtDialogWindow(const DialogTemplate& tmpl);
    ~QtDialogWindow() override;

    CString GetItemText(int id) override;
    void SetItemText(int id, const CString& text) override;
    int RunModal(IDialogEvents& events) override;
    void EndModal(int result) override;
    int MessageBox(const CString& text, const CString& caption, UINT type) override;
    void SetBusy(bool busy) override;
    void WaitUntil(const std::function<bool()>& done) override;
    void SetIcon(int iconResource, bool big) override;

    QDialog* Widget() const;
    QWidget* Control(int id) const;
    const DialogBaseUnits& BaseUnits() const { return m_baseUnits; }

private:
    class BusyFilter;

    const DialogTemplate& m_template;
    DialogWidget* m_dialog; // owned; deleted in the destructor
    std::map<int, QWidget*> m_controls;
    // What SetItemText gave each edit, and the text it showed for it.
    struct EditBytes {
        CString bytes;
        QString shown;
    };
    std::map<int, EditBytes> m_editBytes;
    DialogBaseUnits m_baseUnits;
    QFont m_font;
    IDialogEvents* m_events = nullptr;
    bool m_ended = false;
    int m_result = 0;
    BusyFilter* m_busyFilter = nullptr;
    QPointer<QWidget> m_focusBeforeBusy;
};

} // namespace enlistor::qt_ui
