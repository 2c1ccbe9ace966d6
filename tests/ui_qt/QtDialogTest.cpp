// The registration dialog in the Qt window front end (offscreen): appearance, keyboard, Register, message boxes.
#include "platform/process/MachineLock.h"
#include "platform/ui/qt/QtDialogWindow.h"
#include "platform/ui/qt/QtFrontEnd.h"
#include "res/DialogTemplate.h"
#include "res/Resource.h"
#include "tests/app/FlowTestSupport.h"
#include "tests/ui_qt/QtDriver.h"

#include <QFontInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace enlistor::test;

namespace {

QLineEdit* Edit(QDialog* d, int id) {
    return d->findChild<QLineEdit*>(QString::number(id));
}
QPushButton* Button(QDialog* d, int id) {
    return d->findChild<QPushButton*>(QString::number(id));
}
// The dialog's focus widget (the one that gets the keyboard while the dialog is active).
std::string FocusName(QDialog* d) {
    QWidget* w = d->focusWidget();
    return w != nullptr ? w->objectName().toStdString() : "<none>";
}

class QtDialog : public ::testing::Test {
protected:
    // Of the test's two ENVIRONMENT entries in CMake only the first reaches the discovered tests.
    PrivateRegistryRoot root;
    std::vector<std::string> log;
    Settings store{"db.example", "10.0.0.5", "suite", "sa", "secret"};
    FrontEndScope scope{&QtFrontEnd()};
    InjectedStoreDlg dlg{log, store};

    int Saves() const {
        return static_cast<int>(
            std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("save", 0) == 0; }));
    }
    int Registrations() const {
        return static_cast<int>(
            std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.rfind("register", 0) == 0; }));
    }
};

// The window as opened: title, texts, fixed size from dialog units, centred, banner, icon, font, no default
// button, focus in the first field, password masked; a screenshot of it.
TEST_F(QtDialog, OpensCentredFixedSizeWithTemplateGeometry) {
    WhenDialogShown([](QDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Enlistor Utility");
        const QFontInfo font(d->font());
        EXPECT_EQ(font.family(), "DejaVu Sans") << "install fonts-dejavu-core: without it text renders as boxes";
        EXPECT_TRUE(font.exactMatch() || font.family() == "DejaVu Sans");

        const DialogBaseUnits base = enlistor::qt_ui::BaseUnitsOf(d->font());
        EXPECT_GT(base.charWidth, 3);
        EXPECT_GT(base.charHeight, 8);
        EXPECT_EQ(d->size(), QSize(DialogUnitsToPixelsX(255, base), DialogUnitsToPixelsY(212, base)));
        EXPECT_EQ(d->minimumSize(), d->maximumSize()) << "not resizable";
        EXPECT_FALSE(d->windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_TRUE(d->windowFlags() & Qt::WindowMinimizeButtonHint);
        EXPECT_FALSE(d->windowIcon().isNull());
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        // Centred up to the window frame the platform adds around it.
        const QPoint frame = d->geometry().topLeft() - d->frameGeometry().topLeft();
        EXPECT_LE((d->geometry().center() - screen.center()).manhattanLength(), 2 + frame.manhattanLength());

        const QRect edit = Edit(d, 1000)->geometry();
        EXPECT_EQ(edit, QRect(DialogUnitsToPixelsX(114, base), DialogUnitsToPixelsY(81, base),
                              DialogUnitsToPixelsX(114, base), DialogUnitsToPixelsY(14, base)));
        QStringList labels;
        for (QLabel* label : d->findChildren<QLabel*>()) {
            if (!label->text().isEmpty()) {
                labels << label->text();
            } else {
                ASSERT_FALSE(label->pixmap().isNull());
                EXPECT_EQ(label->pixmap().size(), QSize(281, 88));
                EXPECT_EQ(label->pos(), QPoint(DialogUnitsToPixelsX(54, base), DialogUnitsToPixelsY(9, base)));
            }
        }
        EXPECT_EQ(labels, QStringList({"Database Server Name", "Database Server IP", "Database Name", "Database Login",
                                       "Database Password"}));
        ASSERT_NE(d->findChild<QGroupBox*>(), nullptr);
        EXPECT_EQ(d->findChild<QGroupBox*>()->title(), "Database Information");
        for (int id : {IDC_REGISTER, IDCANCEL}) {
            EXPECT_FALSE(Button(d, id)->isDefault()) << id;
            EXPECT_FALSE(Button(d, id)->autoDefault()) << id;
        }
        EXPECT_EQ(Button(d, IDC_REGISTER)->text(), "Register");
        EXPECT_EQ(Button(d, IDCANCEL)->text(), "Cancel");

        EXPECT_EQ(FocusName(d), "1000");
        EXPECT_EQ(QApplication::focusWidget(), Edit(d, 1000));
        EXPECT_EQ(Edit(d, 1000)->text(), "db.example");
        EXPECT_EQ(Edit(d, 1004)->text(), "secret");
        EXPECT_EQ(Edit(d, 1004)->echoMode(), QLineEdit::Password);
        EXPECT_NE(Edit(d, 1004)->displayText(), "secret");
        EXPECT_EQ(Edit(d, 1000)->echoMode(), QLineEdit::Normal);
        SaveScreenshot(d, "dialog");
        QTest::mouseClick(Button(d, IDCANCEL), Qt::LeftButton);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(Saves(), 0);
}

// Tab walks 1000-1004, Register, Cancel, and wraps; Shift+Tab goes back.
TEST_F(QtDialog, TabOrderFollowsTheTemplate) {
    std::vector<std::string> order;
    WhenDialogShown([&order](QDialog* d) {
        order.push_back(FocusName(d));
        for (int i = 0; i < 7; ++i) {
            QTest::keyClick(d->focusWidget(), Qt::Key_Tab);
            order.push_back(FocusName(d));
        }
        QTest::keyClick(d->focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        order.push_back(FocusName(d));
        QTest::keyClick(d->focusWidget(), Qt::Key_Escape);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_THAT(order, ::testing::ElementsAre("1000", "1001", "1002", "1003", "1004", "1005", "2", "1000", "2"));
}

// Typing and Register: the typed texts are stored (the password typed masked), the success box says so with
// one OK button and no icon; Cancel then ends the dialog.
TEST_F(QtDialog, TypingAndRegisterShowsSuccessBox) {
    WhenDialogShown([](QDialog* d) {
        Edit(d, 1000)->clear();
        QTest::keyClicks(Edit(d, 1000), "sql01");
        Edit(d, 1004)->clear();
        QTest::keyClicks(Edit(d, 1004), "t0p secret");
        EXPECT_EQ(Edit(d, 1004)->displayText().size(), 10);
        EXPECT_FALSE(Edit(d, 1004)->displayText().contains("secret"));
        WhenMessageBoxShown([d](QMessageBox* box) {
            EXPECT_EQ(box->windowTitle(), "Success");
            EXPECT_EQ(box->text(), "Server registered successfully");
            EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
            EXPECT_EQ(box->buttons().size(), 1);
            EXPECT_EQ(box->parentWidget(), d);
            EXPECT_TRUE(box->isModal());
            SaveScreenshot(box, "messagebox_success");
            QTest::mouseClick(box->buttons().front(), Qt::LeftButton);
            WhenDialogShown([](QDialog* d2) { QTest::mouseClick(Button(d2, IDCANCEL), Qt::LeftButton); });
        });
        QTest::mouseClick(Button(d, IDC_REGISTER), Qt::LeftButton);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(store, (Settings{"sql01", "10.0.0.5", "suite", "sa", "t0p secret"}));
    EXPECT_EQ(Registrations(), 1);
}

// A failure: the error text is shown as plain text under "Error"; then the fields show the snapshot again.
TEST_F(QtDialog, FailureShowsErrorTextAndRestoresFields) {
    dlg.registrations = {{0, "Microsoft OLE DB Provider Error -2147467259 <b>Login</b> failed\r\n"}};
    QString afterBox;
    WhenDialogShown([&afterBox](QDialog* d) {
        Edit(d, 1001)->setText("192.0.2.1");
        WhenMessageBoxShown([&afterBox, d](QMessageBox* box) {
            EXPECT_EQ(box->windowTitle(), "Error");
            EXPECT_EQ(box->text(), "Microsoft OLE DB Provider Error -2147467259 <b>Login</b> failed\r\n");
            EXPECT_EQ(box->textFormat(), Qt::PlainText);
            SaveScreenshot(box, "messagebox_error");
            QTest::keyClick(box, Qt::Key_Return);
            WhenDialogShown([&afterBox](QDialog* d2) {
                afterBox = Edit(d2, 1001)->text();
                QTest::keyClick(d2->focusWidget(), Qt::Key_Escape);
            });
            (void)d;
        });
        Button(d, IDC_REGISTER)->setFocus();
        QTest::keyClick(Button(d, IDC_REGISTER), Qt::Key_Return); // Enter on Register runs it
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(afterBox, "10.0.0.5");
    EXPECT_EQ(store[1], "10.0.0.5");
}

// An empty error text still gives an "Error" box, with no text.
TEST_F(QtDialog, EmptyErrorTextShowsEmptyBox) {
    dlg.registrations = {{0, ""}};
    WhenDialogShown([](QDialog* d) {
        WhenMessageBoxShown([](QMessageBox* box) {
            EXPECT_EQ(box->windowTitle(), "Error");
            EXPECT_EQ(box->text(), "");
            SaveScreenshot(box, "messagebox_error_empty");
            QTest::keyClick(box, Qt::Key_Escape); // Esc closes a one-button box too
            WhenDialogShown([](QDialog* d2) { d2->close(); });
        });
        Button(d, IDC_REGISTER)->click();
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
}

// Enter in an edit field is the OK command: members take the edits, the dialog closes, nothing stored.
TEST_F(QtDialog, EnterInEditIsTheOkCommand) {
    WhenDialogShown([](QDialog* d) {
        Edit(d, 1002)->end(false);
        QTest::keyClicks(Edit(d, 1002), "_x");
        QTest::keyClick(Edit(d, 1002), Qt::Key_Return);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.Members()[2], "suite_x");
    EXPECT_EQ(Saves(), 0);
    EXPECT_EQ(Registrations(), 0);
}

// The keypad's Enter is Enter too; Esc and the close box cancel without storing, even after edits.
TEST_F(QtDialog, KeypadEnterEscAndCloseBox) {
    WhenDialogShown([](QDialog* d) { QTest::keyClick(Edit(d, 1000), Qt::Key_Enter, Qt::KeypadModifier); });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    WhenDialogShown([](QDialog* d) {
        QTest::keyClicks(Edit(d, 1000), "zzz");
        QTest::keyClick(Edit(d, 1000), Qt::Key_Escape);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    WhenDialogShown([](QDialog* d) {
        QTest::keyClicks(Edit(d, 1003), "zzz");
        EXPECT_FALSE(d->close()); // the close box asks; the dialog ends through Cancel
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(Saves(), 0);
    EXPECT_EQ(dlg.Members()[0], "db.example");
}

// While the registration works (on its own thread) the window goes on dispatching events, so it repaints, but
// takes no input: keys sent or queued meanwhile are dropped, the focus stays where it was.
TEST_F(QtDialog, InputDuringRegistrationIsDropped) {
    QDialog* seen = nullptr;
    bool onWorkerThread = false;
    dlg.duringRegistration = [&seen, &onWorkerThread] {
        onWorkerThread = QThread::currentThread() != qApp->thread();
        // Blocks this thread until the window's thread has run it: only a window that keeps dispatching does.
        QMetaObject::invokeMethod(
            qApp,
            [&seen] {
                QDialog* d = VisibleDialog();
                ASSERT_NE(d, nullptr);
                seen = d;
                d->repaint();
                QTest::keyClicks(Edit(d, 1000), "typed while busy");
                QTest::keyClick(Edit(d, 1000), Qt::Key_Escape);
                QCoreApplication::postEvent(Edit(d, 1001),
                                            new QKeyEvent(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a"));
                QTest::mouseClick(Button(d, IDCANCEL), Qt::LeftButton);
            },
            Qt::BlockingQueuedConnection);
    };
    WhenDialogShown([](QDialog* d) {
        WhenMessageBoxShown([](QMessageBox* box) {
            QTest::keyClick(box, Qt::Key_Return);
            WhenDialogShown([](QDialog* d2) {
                EXPECT_EQ(FocusName(d2), "1005");
                EXPECT_EQ(Edit(d2, 1000)->text(), "db.example");
                EXPECT_EQ(Edit(d2, 1001)->text(), "10.0.0.5");
                d2->close();
            });
        });
        Button(d, IDC_REGISTER)->setFocus();
        QTest::keyClick(Button(d, IDC_REGISTER), Qt::Key_Space);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_NE(seen, nullptr);
    EXPECT_TRUE(onWorkerThread);
    EXPECT_EQ(Registrations(), 1);
}

// Counts the paint events a widget gets.
class PaintCounter final : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return QObject::eventFilter(watched, event);
    }
};

// While another process holds the machine lock, Register waits for it with the window still dispatching: a timer
// on the window's thread keeps ticking and the dialog keeps repainting; once the lock is free the run goes on.
TEST_F(QtDialog, WindowRepaintsWhileAnotherProcessHoldsTheLock) {
    const pid_t holder = ::fork();
    if (holder == 0) {
        ::execlp("flock", "flock", "--exclusive", MachineLock::Path().c_str(), "sleep", "2",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(holder, 0);
    const auto lock_is_free = [] {
        MachineLockFailure failure;
        return MachineLock::Acquire(MachineLock::Mode::Shared, std::chrono::milliseconds(0), failure).has_value();
    };
    for (int i = 0; i < 500 && lock_is_free(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(lock_is_free()) << "the holder never took the lock";

    int ticks = 0;
    bool lockHeldWhenTicking = false;
    PaintCounter counter;
    QTimer timer;
    WhenDialogShown([&](QDialog* d) {
        d->installEventFilter(&counter);
        QObject::connect(&timer, &QTimer::timeout, d, [&, d] {
            ++ticks;
            lockHeldWhenTicking = lockHeldWhenTicking || !lock_is_free();
            d->update();
        });
        timer.start(20);
        WhenMessageBoxShown([](QMessageBox* box) {
            QTest::keyClick(box, Qt::Key_Return);
            WhenDialogShown([](QDialog* d2) { d2->close(); });
        });
        QTest::mouseClick(Button(d, IDC_REGISTER), Qt::LeftButton);
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    int status = 0;
    EXPECT_EQ(::waitpid(holder, &status, 0), holder);
    EXPECT_EQ(Registrations(), 1);
    EXPECT_TRUE(lockHeldWhenTicking);
    // The holder keeps the lock for 2 s: a window that froze meanwhile would have ticked once or twice.
    RecordProperty("timer_ticks", ticks);
    RecordProperty("paint_events", counter.paints);
    EXPECT_GE(ticks, 10);
    EXPECT_GE(counter.paints, 5);
}

// Texts in the operator's locale (UTF-8) pass through the fields unchanged.
TEST_F(QtDialog, NonAsciiTextsRoundTrip) {
    store = {"sérveur", "", "базa", "用户", "pässwörd"};
    WhenDialogShown([](QDialog* d) {
        EXPECT_EQ(Edit(d, 1002)->text(), QString::fromUtf8("базa"));
        QTest::keyClick(Edit(d, 1000), Qt::Key_Return);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.Members(), store);
}

// Stored bytes the locale cannot decode and values longer than Qt's default edit limit come back exactly from
// fields the operator did not touch; a field the operator edits gives its new text.
TEST_F(QtDialog, UntouchedFieldsKeepTheirStoredBytes) {
    const std::string login(40000, 'L');
    store = {"caf\xE9", "10.0.0.5", std::string("\xFF\xFE db", 5), login, "pa\x80ss"};
    WhenDialogShown([&](QDialog* d) {
        EXPECT_EQ(Edit(d, IDC_DB_USER_ID)->text().size(), 40000);
        QTest::keyClick(Edit(d, IDC_DATABASE_SERVER), Qt::Key_Return);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.Members(), store);

    const Settings stored = store;
    WhenDialogShown([](QDialog* d) {
        QLineEdit* server = Edit(d, IDC_DATABASE_SERVER);
        server->selectAll();
        QTest::keyClicks(server, "db2");
        QTest::keyClick(server, Qt::Key_Return);
    });
    EXPECT_EQ(dlg.DoModal(), IDOK);
    Settings expected = stored;
    expected[0] = "db2";
    EXPECT_EQ(dlg.Members(), expected);
}

} // namespace
