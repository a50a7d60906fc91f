// The program on Linux: the Qt application, the single-instance socket with its hand-overs (links,
// the launcher's actions), the desktop entry, and the Linux platform handed to the core.
#include <QApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/build_config.h"
#include "app/check_mode.h"
#include "app/run_application.h"
#include "app/statusbar/menu_titles.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/desktop/app_icon.h"
#include "platform/linux/desktop/desktop_entry.h"
#include "platform/linux/desktop/launcher.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/shell/alert.h"
#include "platform/linux/shell/application.h"
#include "platform/linux/shell/bundle.h"
#include "platform/linux/single_instance/handover.h"
#include "platform/linux/single_instance/registry.h"

namespace {

using nubrio::linux_platform::InstanceRegistry;
namespace linux_platform = nubrio::linux_platform;
namespace handover = linux_platform::handover;

bool isSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value && *value;
}

// The links that fit one hand-over message; the others could not be delivered anyway.
std::vector<std::string> handOverPart(const std::vector<std::string>& links) {
    std::vector<std::string> part;
    for (const std::string& link : links) {
        if (part.size() == handover::kMaxLinks) break;
        if (link.size() <= handover::kMaxLinkBytes) part.push_back(link);
    }
    return part;
}

// The menu's commands as the launcher offers them, with the menu's titles.
std::vector<linux_platform::launcher::MenuCommand> menuCommands() {
    return linux_platform::launcher::menuCommands(nubrio::menu_titles::Commands);
}

void failWithoutDisplay(const std::string& why) {
    const std::string line = "Nubrio necesita una sesión gráfica: " + why +
                             ". Para comprobar el procesamiento sin pantalla, usá " + nubrio::check_mode::Flag + ".\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(nullptr);
    std::_Exit(1);
}

QtMessageHandler qtMessages = nullptr;

// Qt ends the program when its display cannot be opened (a DISPLAY that names no server): one clear
// line and status 1 instead of an abort and a core dump.
void startupMessages(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg)
        failWithoutDisplay("no se pudo abrir la pantalla (" + message.section(QLatin1Char('\n'), 0, 0).toStdString() + ")");
    if (qtMessages) qtMessages(type, context, message);
}

// The check writes only its own lines on standard error; should Qt still fail to start (a platform
// forced on it that cannot start), that is a failed check like any other.
void checkMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type != QtFatalMsg) return;
    const std::string line = "Could not start: " + message.section(QLatin1Char('\n'), 0, 0).toStdString() + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(nullptr);
    std::_Exit(nubrio::check_mode::FailureStatus);
}

// Without a display this process only hands over or says why it cannot run: Qt's chatter about the
// stand-in platform would bury that line.
void silent(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) startupMessages(type, context, message);
}

}  // namespace

int main(int argc, char** argv) {
    // The command line as given: QApplication takes its own options out of argv.
    const std::vector<std::string> arguments(argv, argv + argc);
    std::vector<char*> commandLine(argv, argv + argc);
    commandLine.push_back(nullptr);
    const bool checkMode = nubrio::check_mode::requested(arguments);

    if (checkMode) linux_platform::program_log::keepOffStandardError();

    // The check, a hand-over and a refusal show nothing, so they need no display: ssh, CI and package
    // scripts run the check without one. Chosen on Qt's command line, not in the environment, which
    // the worker inherits as it is.
    const bool displayGiven = isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM");
    const bool offscreen = checkMode || !displayGiven;
    std::vector<char*> qtArguments(argv, argv + argc);
    char platformOption[] = "-platform", platformName[] = "offscreen";
    if (offscreen) qtArguments.insert(qtArguments.begin() + 1, {platformOption, platformName});
    int qtArgumentCount = static_cast<int>(qtArguments.size());
    qtArguments.push_back(nullptr);
    qtMessages = qInstallMessageHandler(checkMode ? checkMessages : offscreen ? silent : startupMessages);

    QApplication qtApplication(qtArgumentCount, qtArguments.data());
    // The entry's whole desktop-file ID: Qt's Wayland windows take it without one ".desktop" as their
    // app id, which desktops then match to the entry (X11 windows go by their class, "Nubrio").
    QGuiApplication::setDesktopFileName(QString::fromStdString(linux_platform::desktop_entry::ownDesktopId()));
    QApplication::setApplicationName("Nubrio");
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(linux_platform::app_icon::icon());
    if (!offscreen) qInstallMessageHandler(qtMessages);
    if (!linux_platform::installSpanishTranslation())
        linux_platform::program_log::write("Qt's Spanish texts are not installed (qt6-translations-l10n)");
    // Without a display Qt's tray code asks the offscreen platform for a signal it does not have, and
    // says so on standard error.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qobject.connect.warning=false"));

    auto bundle = std::make_unique<linux_platform::LinuxBundle>(linux_platform::LinuxBundle::runningExecutable());
    // Where the program was started from: after an uninstall /proc/self/exe points into the Trash.
    const std::filesystem::path executable = bundle->executablePath();

    auto registry = std::make_unique<InstanceRegistry>(InstanceRegistry::defaultSocketPath());
    registry->claim();
    const bool otherCopy = registry->state() == InstanceRegistry::State::OtherCopy;

    // A launcher's action goes to the running copy, which runs the menu command itself. Without one,
    // Nubrio starts (without the editor) and runs it; there is nothing to quit.
    const linux_platform::launcher::DesktopAction* action =
        checkMode ? nullptr : linux_platform::launcher::actionInArguments(arguments);
    if (action && otherCopy) registry->handOver({{}, action->id});
    if (action && (otherCopy || std::string_view(action->selector) == "quit")) return 0;
    char backgroundFlag[] = "--background";
    if (action) commandLine.insert(commandLine.end() - 1, backgroundFlag);

    // A link opened while a copy runs goes to that copy; this process then ends, having shown nothing.
    const std::vector<std::string> links = linux_platform::linksInArguments(arguments);
    if (!links.empty() && otherCopy) {
        const std::vector<std::string> part = handOverPart(links);
        if (!part.empty() && registry->handOver({part, {}})) return 0;
        // Not taken: this copy starts, finds the other one and opens the editor itself.
    }

    if (!checkMode && !displayGiven) failWithoutDisplay("no hay pantalla (ni DISPLAY ni WAYLAND_DISPLAY)");

    linux_platform::LinuxPlatform backend(static_cast<int>(commandLine.size() - 1), commandLine.data(),
                                          std::move(bundle), std::move(registry));
    // A second copy only opens the editor and ends: the entry stays with the copy that runs. The check
    // leaves the desktop as it found it. The entry and its icons wait until the tray icon shows.
    // After a change of start at login too, so that the entry's action names the change it would make.
    const auto registerEntry = [executable] { linux_platform::launcher::registerFor(executable, menuCommands()); };
    if (!otherCopy && !checkMode) backend.statusBar().afterFirstItem(registerEntry);
    if (!checkMode) backend.setLoginChangeHandler(registerEntry);
    if (action) backend.runAfterLaunch(*action);
    if (!links.empty()) backend.application().openUrls(links);
    // The uninstall moves the bundle to the Trash and then terminates: the entry and icon go with it.
    backend.setTerminationCleanup([executable] { linux_platform::launcher::unregisterIfBundleGone(executable); });

    const int status = nubrio::runApplication(backend.platform());

    // Nothing is left to tear down that the system would not reclaim anyway; ending here keeps a quit
    // quick and spares Qt's global destructors running after the QApplication.
    backend.registry().release();
    std::fflush(nullptr);
    std::_Exit(status);
}
