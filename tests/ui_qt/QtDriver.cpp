#include "tests/ui_qt/QtDriver.h"

#include <QDir>
#include <QPixmap>

namespace enlistor::test {

std::string ScreenshotDir() {
    const std::string dir = std::string(ENLISTOR_BINARY_DIR) + "/tests/ui_qt/screenshots";
    QDir().mkpath(QString::fromStdString(dir));
    return dir;
}

void SaveScreenshot(QWidget* widget, const std::string& name) {
    const QString path = QString::fromStdString(ScreenshotDir() + "/" + name + ".png");
    EXPECT_TRUE(widget->grab().save(path)) << path.toStdString();
}

QDialog* VisibleDialog() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->isActiveWindow() && w->objectName() == QStringLiteral("dialog102")) {
            return qobject_cast<QDialog*>(w);
        }
    }
    return nullptr;
}

QMessageBox* VisibleMessageBox() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible()) {
            return box;
        }
    }
    return nullptr;
}

} // namespace enlistor::test
