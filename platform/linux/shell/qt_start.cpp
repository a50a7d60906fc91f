#include "platform/linux/shell/qt_start.h"

#include <QGuiApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>

#include "platform/linux/base/program_log.h"
#include "platform/linux/desktop/app_icon.h"
#include "platform/linux/desktop/desktop_entry.h"
#include "platform/linux/shell/alert.h"

namespace nubrio::linux_platform {

namespace {

// Qt's handlers are plain functions: what they need is kept here for the life of the process.
QtMessageHandler qtMessages = nullptr;
std::string checkFlag;
int checkFailureStatus = 0;

bool isSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

[[noreturn]] void failWithoutDisplayLine(const std::string& why) {
    const std::string line = "Nubrio necesita una sesión gráfica: " + why +
                             ". Para comprobar el procesamiento sin pantalla, usá " + checkFlag + ".\n";
    std::fputs(line.c_str(), stderr);
    program_log::flush();
    std::fflush(nullptr);
    std::_Exit(1);
}

// Qt ends the program when its display cannot be opened (a DISPLAY that names no server): one clear
// line and status 1 instead of an abort and a core dump.
void startupMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg)
        failWithoutDisplayLine("no se pudo abrir la pantalla (" + message.section(QLatin1Char('\n'), 0, 0).toStdString() +
                               ")");
    if (qtMessages) qtMessages(type, context, message);
}

// The check writes only its own lines on standard error; should Qt still fail to start (a platform
// forced on it that cannot start), that is a failed check like any other.
void checkMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtFatalMsg) return;
    const std::string line = "Could not start: " + message.section(QLatin1Char('\n'), 0, 0).toStdString() + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(nullptr);
    std::_Exit(checkFailureStatus);
}

// Without a display this process only hands over or says why it cannot run: Qt's chatter about the
// stand-in platform would bury that line.
void silent(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) startupMessages(type, context, message);
}

}  // namespace

QtStart::QtStart(int argc, char** argv, QtStartOptions options)
    : arguments_(argv, argv + argc),
      displayGiven_(isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM")) {
    checkFlag = options.checkFlag;
    checkFailureStatus = options.checkFailureStatus;
    const bool offscreen = options.checkMode || !displayGiven_;
    static char platformOption[] = "-platform", platformName[] = "offscreen";
    if (offscreen) arguments_.insert(arguments_.begin() + 1, {platformOption, platformName});
    argumentCount_ = static_cast<int>(arguments_.size());
    arguments_.push_back(nullptr);
    qtMessages = qInstallMessageHandler(options.checkMode ? checkMessages : offscreen ? silent : startupMessages);

    application_ = std::make_unique<QApplication>(argumentCount_, arguments_.data());
    // The entry's whole desktop-file ID: Qt's Wayland windows take it without one ".desktop" as their
    // app id, which desktops then match to the entry (X11 windows go by their class, "Nubrio").
    QGuiApplication::setDesktopFileName(QString::fromStdString(desktop_entry::ownDesktopId()));
    QApplication::setApplicationName("Nubrio");
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(app_icon::icon(std::move(options.iconGlyph)));
    if (!offscreen) qInstallMessageHandler(qtMessages);
    if (!installSpanishTranslation())
        program_log::write("Qt's Spanish texts are not installed (qt6-translations-l10n)");
    // Without a display Qt's tray code asks the offscreen platform for a signal it does not have, and
    // says so on standard error.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qobject.connect.warning=false"));
}

void QtStart::failWithoutDisplay(const std::string& why) const { failWithoutDisplayLine(why); }

}  // namespace nubrio::linux_platform
