#include "platform/ui/qt/QtDialogWindow.h"

#include "res/ImageResources.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <exception>
#include <limits>
#include <string_view>

namespace enlistor::qt_ui {

namespace {

QString to_qt(std::string_view text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

CString from_qt(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    return CString(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

bool is_windows_dialog_font(std::string_view name) {
    return name == "MS Shell Dlg" || name == "MS Shell Dlg 2" || name == "MS Sans Serif" || name == "Tahoma" ||
           name == "Segoe UI";
}

bool is_enter(const QKeyEvent* e) {
    const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
    return (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && mods == Qt::NoModifier;
}

bool is_user_input(QEvent::Type type) {
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::InputMethod:
    case QEvent::Close:
        return true;
    default:
        return false;
    }
}

} // namespace

// The dialog's window. Enter and Esc are the dialog's own: no button is the default, so Enter clicks the focused
// push button or, anywhere else, is the OK command; Esc and the close box are the Cancel command. The dialog
// closes only through EndModal.
class DialogWidget final : public QDialog {
public:
    DialogWidget() : QDialog(nullptr) {}

    IDialogEvents* events = nullptr;
    bool ending = false;

    void end(int result) {
        ending = true;
        done(result);
    }

    void reject() override {
        if (events != nullptr && !ending) {
            events->OnCancelCommand();
        }
    }

protected:
    void keyPressEvent(QKeyEvent* e) override {
        if (events != nullptr && is_enter(e)) {
            if (auto* button = dynamic_cast<QPushButton*>(focusWidget()); button != nullptr && button->isEnabled()) {
                button->click();
            } else {
                events->OnOkCommand();
            }
            return;
        }
        if (events != nullptr && e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
            events->OnCancelCommand();
            return;
        }
        QDialog::keyPressEvent(e);
    }

    void closeEvent(QCloseEvent* e) override {
        // done() closes the window (Qt 6.3 and later); QDialog's own handler would turn that into reject().
        if (ending || events == nullptr) {
            e->accept();
            return;
        }
        e->ignore();
        events->OnCancelCommand();
    }

    void showEvent(QShowEvent* e) override {
        QDialog::showEvent(e);
        // Without a window manager (Xvfb) nothing activates a new window; the dialog asks for it itself.
        activateWindow();
    }
};

// Swallows the user's input to the dialog while it is busy; input that arrived meanwhile is discarded, not
// replayed afterwards.
class QtDialogWindow::BusyFilter final : public QObject {
public:
    explicit BusyFilter(QWidget* dialog) : m_dialog(dialog) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // A close from the window system (the close box) is the operator's; the dialog's own close (done()) is not.
        if (!is_user_input(event->type()) || (event->type() == QEvent::Close && !event->spontaneous())) {
            return false;
        }
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr || (widget != m_dialog && !m_dialog->isAncestorOf(widget))) {
            return false;
        }
        event->ignore();
        return true;
    }

private:
    QWidget* m_dialog;
};

QFont DialogFont(const DialogTemplate& tmpl) {
    QFont font = QApplication::font();
    if (is_windows_dialog_font(tmpl.fontName)) {
        font.setFamilies({QStringLiteral("DejaVu Sans"), font.family()});
    } else {
        font.setFamily(to_qt(tmpl.fontName));
    }
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(tmpl.pointSize > 0 ? tmpl.pointSize : 8);
    return font;
}

DialogBaseUnits BaseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    DialogBaseUnits units;
    units.charWidth = AverageCharWidthFromAlphabet(metrics.horizontalAdvance(to_qt(kDialogUnitAlphabet)));
    units.charHeight = metrics.height();
    return units;
}

QString ImagePath(int resource) {
    const ImageResource* image = FindImageResource(resource);
    return image != nullptr ? QStringLiteral(":/res/") + to_qt(image->file) : QString();
}

QtDialogWindow::QtDialogWindow(const DialogTemplate& tmpl) : m_template(tmpl), m_dialog(new DialogWidget) {
    m_font = DialogFont(tmpl);
    m_baseUnits = BaseUnitsOf(m_font);
    const auto px = [this](int units) { return DialogUnitsToPixelsX(units, m_baseUnits); };
    const auto py = [this](int units) { return DialogUnitsToPixelsY(units, m_baseUnits); };

    m_dialog->setObjectName(QStringLiteral("dialog%1").arg(tmpl.id));
    Qt::WindowFlags flags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                            Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint;
    if (tmpl.minimizeBox) {
        flags |= Qt::WindowMinimizeButtonHint;
    }
    m_dialog->setWindowFlags(flags);
    m_dialog->setWindowTitle(to_qt(tmpl.title));
    m_dialog->setFont(m_font);
    m_dialog->setSizeGripEnabled(false);
    if (!tmpl.resizable) {
        m_dialog->setFixedSize(px(tmpl.cx), py(tmpl.cy));
    } else {
        m_dialog->resize(px(tmpl.cx), py(tmpl.cy));
    }

    QWidget* previousTabStop = nullptr;
    QGroupBox* groupBox = nullptr;
    for (const ControlTemplate& control : tmpl.controls) {
        QWidget* widget = nullptr;
        const QRect rect(px(control.x), py(control.y), px(control.cx), py(control.cy));
        switch (control.kind) {
        case ControlKind::Static: {
            auto* label = new QLabel(to_qt(control.text), m_dialog);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            widget = label;
            break;
        }
        case ControlKind::Edit: {
            auto* edit = new QLineEdit(m_dialog);
            // Qt's default limit (32,767 characters) would cut a longer stored value; the stored texts have none.
            edit->setMaxLength(std::numeric_limits<int>::max());
            if ((control.style & enlistor::control_style::Password) != 0) {
                edit->setEchoMode(QLineEdit::Password);
            }
            widget = edit;
            break;
        }
        case ControlKind::PushButton: {
            auto* button = new QPushButton(to_qt(control.text), m_dialog);
            button->setAutoDefault(false);
            button->setDefault((control.style & enlistor::control_style::DefPushButton) != 0);
            QObject::connect(button, &QPushButton::clicked, m_dialog, [this, id = control.id] {
                if (m_events != nullptr) {
                    m_events->OnButtonClicked(id);
                }
            });
            widget = button;
            break;
        }
        case ControlKind::Bitmap: {
            auto* picture = new QLabel(m_dialog);
            const QPixmap pixmap(ImagePath(control.resource));
            picture->setPixmap(pixmap);
            widget = picture;
            // A bitmap control takes its picture's size.
            widget->setGeometry(QRect(rect.topLeft(), pixmap.isNull() ? rect.size() : pixmap.size()));
            break;
        }
        case ControlKind::GroupBox:
            groupBox = new QGroupBox(to_qt(control.text), m_dialog);
            groupBox->setFocusPolicy(Qt::NoFocus);
            widget = groupBox;
            break;
        }
        if (control.kind != ControlKind::Bitmap) {
            widget->setGeometry(rect);
        }
        if (control.id != IDC_STATIC) {
            widget->setObjectName(QString::number(control.id));
            m_controls.emplace(control.id, widget);
        }
        if ((control.style & enlistor::control_style::TabStop) != 0) {
            widget->setFocusPolicy(Qt::StrongFocus);
            if (previousTabStop != nullptr) {
                QWidget::setTabOrder(previousTabStop, widget);
            }
            previousTabStop = widget;
        } else if (control.kind != ControlKind::Edit && control.kind != ControlKind::PushButton) {
            widget->setFocusPolicy(Qt::NoFocus);
        }
    }
    if (groupBox != nullptr) {
        groupBox->lower(); // drawn behind the fields it frames
    }
}

QtDialogWindow::~QtDialogWindow() {
    if (m_busyFilter != nullptr) {
        QCoreApplication::instance()->removeEventFilter(m_busyFilter);
        delete m_busyFilter;
        QGuiApplication::restoreOverrideCursor();
    }
    delete m_dialog;
}

CString QtDialogWindow::GetItemText(int id) {
    QWidget* widget = Control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        // An edit the operator left as it was set gives back the bytes it was given: a stored value that is not
        // valid in the locale's character set survives the round trip through the window's Unicode text.
        const auto kept = m_editBytes.find(id);
        if (kept != m_editBytes.end() && kept->second.shown == edit->text()) {
            return kept->second.bytes;
        }
        return from_qt(edit->text());
    }
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        return from_qt(label->text());
    }
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        return from_qt(button->text());
    }
    if (auto* box = qobject_cast<QGroupBox*>(widget)) {
        return from_qt(box->title());
    }
    return CString();
}

void QtDialogWindow::SetItemText(int id, const CString& text) {
    QWidget* widget = Control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setText(to_qt(text));
        edit->setCursorPosition(0);
        m_editBytes[id] = EditBytes{text, edit->text()};
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(to_qt(text));
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(to_qt(text));
    } else if (auto* box = qobject_cast<QGroupBox*>(widget)) {
        box->setTitle(to_qt(text));
    }
}

int QtDialogWindow::RunModal(IDialogEvents& events) {
    m_events = &events;
    m_dialog->events = &events;
    m_ended = false;
    events.OnWindowCreated();
    if (m_ended) {
        m_events = nullptr;
        m_dialog->events = nullptr;
        return m_result;
    }
    for (const ControlTemplate& control : m_template.controls) {
        if ((control.style & enlistor::control_style::TabStop) != 0 && control.id != IDC_STATIC) {
            Control(control.id)->setFocus(Qt::OtherFocusReason);
            break;
        }
    }
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(0, 0), m_dialog->size());
        frame.moveCenter(screen->availableGeometry().center());
        m_dialog->move(frame.topLeft());
    }
    const int result = m_dialog->exec();
    m_events = nullptr;
    m_dialog->events = nullptr;
    return m_ended ? m_result : result;
}

void QtDialogWindow::EndModal(int result) {
    m_ended = true;
    m_result = result;
    if (m_dialog->isVisible()) {
        m_dialog->end(result);
    }
}

int QtDialogWindow::MessageBox(const CString& text, const CString& caption, UINT type) {
    (void)type; // MB_OK: one OK button, no icon
    QMessageBox box(m_dialog);
    box.setObjectName(QStringLiteral("messageBox"));
    box.setFont(m_font);
    box.setIcon(QMessageBox::NoIcon);
    box.setWindowTitle(to_qt(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(to_qt(text));
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setWindowModality(Qt::WindowModal);
    box.exec();
    // Without a window manager nothing gives the keyboard back to the dialog.
    m_dialog->activateWindow();
    return IDOK;
}

void QtDialogWindow::SetBusy(bool busy) {
    if (busy && m_busyFilter == nullptr) {
        m_focusBeforeBusy = m_dialog->focusWidget();
        m_busyFilter = new BusyFilter(m_dialog);
        QCoreApplication::instance()->installEventFilter(m_busyFilter);
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (!busy && m_busyFilter != nullptr) {
        // Input queued while busy is delivered now, to the filter, and dropped.
        QCoreApplication::processEvents();
        QCoreApplication::instance()->removeEventFilter(m_busyFilter);
        delete m_busyFilter;
        m_busyFilter = nullptr;
        QGuiApplication::restoreOverrideCursor();
        // Qt moves the focus on a mouse press before any filter sees it; a dropped click leaves no trace.
        if (m_focusBeforeBusy != nullptr && m_dialog->isVisible()) {
            m_focusBeforeBusy->setFocus(Qt::OtherFocusReason);
        }
    }
}

void QtDialogWindow::WaitUntil(const std::function<bool()>& done) {
    // This thread goes on dispatching while the work runs elsewhere: the window repaints and answers the window
    // manager's pings, and the busy filter drops the operator's input meanwhile. A desktop offers to kill a window
    // that stops answering, and a kill in the middle of a registration would skip its roll-back.
    if (done()) {
        return;
    }
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done()) {
            loop.quit();
        }
    });
    tick.start(static_cast<int>(kWaitTick.count()));
    loop.exec();
}

void QtDialogWindow::SetIcon(int iconResource, bool big) {
    (void)big; // Qt derives every size from one icon
    const QString path = ImagePath(iconResource);
    if (!path.isEmpty()) {
        m_dialog->setWindowIcon(QIcon(path));
    }
}

QDialog* QtDialogWindow::Widget() const {
    return m_dialog;
}

QWidget* QtDialogWindow::Control(int id) const {
    const auto it = m_controls.find(id);
    return it != m_controls.end() ? it->second : nullptr;
}

} // namespace enlistor::qt_ui
