// Drives Qt windows from inside their own modal loops: actions run from timers once the window they need is up.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace enlistor::test {

// The directory the screenshots go to (created on first use).
std::string ScreenshotDir();
// Saves the widget's picture as <ScreenshotDir>/<name>.png.
void SaveScreenshot(QWidget* widget, const std::string& name);

// The main dialog (template 102) when it is visible and active (has the keyboard), or nullptr.
QDialog* VisibleDialog();
// The visible message box, or nullptr.
QMessageBox* VisibleMessageBox();

// Polls every few milliseconds until find() returns a widget, then runs action(widget) once. Gives up after five
// seconds, recording a test failure and closing every window so the test ends.
template <typename W>
void WhenShown(std::function<W*()> find, std::function<void(W*)> action, const char* what) {
    auto timer = new QTimer;
    auto started = std::make_shared<int>(0);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, find, action, started, what] {
        if (W* widget = find(); widget != nullptr) {
            timer->stop();
            timer->deleteLater();
            action(widget);
            return;
        }
        if (++*started > 1000) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "timed out waiting for " << what;
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* d = qobject_cast<QDialog*>(w); d != nullptr && d->isVisible()) {
                    d->done(-2);
                }
            }
        }
    });
    timer->start();
}

inline void WhenDialogShown(std::function<void(QDialog*)> action) {
    WhenShown<QDialog>(VisibleDialog, std::move(action), "the dialog");
}
inline void WhenMessageBoxShown(std::function<void(QMessageBox*)> action) {
    WhenShown<QMessageBox>(VisibleMessageBox, std::move(action), "a message box");
}

} // namespace enlistor::test
