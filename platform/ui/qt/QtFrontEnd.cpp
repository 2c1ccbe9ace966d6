#include "platform/ui/qt/QtFrontEnd.h"

#include "platform/ui/qt/QtDialogWindow.h"
#include "res/Resource.h"

#include <QApplication>
#include <QIcon>

#include <stdexcept>

namespace {

class QtFrontEndImpl final : public IFrontEnd {
public:
    std::unique_ptr<IDialogWindow> CreateDialogWindow(const DialogTemplate& tmpl) override {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
            throw std::runtime_error("the window front end has no Qt application object");
        }
        return std::make_unique<enlistor::qt_ui::QtDialogWindow>(tmpl);
    }
};

} // namespace

IFrontEnd& QtFrontEnd() {
    static QtFrontEndImpl frontEnd;
    return frontEnd;
}

struct QtApplicationSession::Impl {
    Impl(int& argc, char** argv) : app(argc, argv) {}
    QApplication app;
};

QtApplicationSession::QtApplicationSession(int& argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("enlistor"));
    QGuiApplication::setDesktopFileName(QStringLiteral("enlistor"));
    m_impl = std::make_unique<Impl>(argc, argv);
    QApplication::setWindowIcon(QIcon(enlistor::qt_ui::ImagePath(IDR_MAINFRAME)));
}

QtApplicationSession::~QtApplicationSession() = default;

IFrontEnd& QtApplicationSession::FrontEnd() {
    return QtFrontEnd();
}
