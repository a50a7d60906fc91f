// The program on Linux: the Qt application, the single-instance socket with its link hand-over, and
// the Linux platform handed to the core.
#include <QApplication>
#include <QLoggingCategory>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/entry.h"
#include "platform/linux/alert_linux.h"
#include "platform/linux/handover.h"
#include "platform/linux/application_linux.h"
#include "platform/linux/bundle_linux.h"
#include "platform/linux/instance_registry_linux.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/program_log.h"
#include "platform/linux/scheme_handler_linux.h"
#include "platform/linux/xdg_dirs.h"
#include "worker/contract.h"

namespace {

using nubrio::linux_platform::InstanceRegistry;
namespace handover = nubrio::linux_platform::handover;

// The links that fit one hand-over message; the others could not be delivered anyway.
std::vector<std::string> handOverPart(const std::vector<std::string>& links) {
    std::vector<std::string> part;
    for (const std::string& link : links) {
        if (part.size() == handover::kMaxLinks) break;
        if (link.size() <= handover::kMaxLinkBytes) part.push_back(link);
    }
    return part;
}

}  // namespace

int main(int argc, char** argv) {
    // The command line as given: QApplication takes its own options out of argv.
    const std::vector<std::string> arguments(argv, argv + argc);
    std::vector<char*> commandLine(argv, argv + argc);
    commandLine.push_back(nullptr);

    nubrio::linux_platform::program_log::setPath(nubrio::linux_platform::homeDirectory() /
                                                 nubrio::worker::DataFolder / nubrio::worker::LogsFolder /
                                                 nubrio::linux_platform::program_log::FileName);

    QApplication qtApplication(argc, argv);
    QApplication::setApplicationName("Nubrio");
    QApplication::setQuitOnLastWindowClosed(false);
    if (!nubrio::linux_platform::installSpanishTranslation())
        nubrio::linux_platform::program_log::write("Qt's Spanish texts are not installed (qt6-translations-l10n)");
    // Without a display (an unattended --verify-startup), Qt's tray code asks the offscreen platform for
    // a signal it does not have, and says so on standard error, where only our own diagnostics belong.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        QLoggingCategory::setFilterRules(QStringLiteral("qt.core.qobject.connect.warning=false"));

    auto bundle = std::make_unique<nubrio::linux_platform::LinuxBundle>(
        nubrio::linux_platform::LinuxBundle::runningExecutable());
    // Where the program was started from: after an uninstall /proc/self/exe points into the Trash.
    const std::filesystem::path executable = bundle->executablePath();

    auto registry = std::make_unique<InstanceRegistry>(InstanceRegistry::defaultSocketPath());
    registry->claim();

    // A link opened while a copy runs goes to that copy; this process then ends, having shown nothing.
    const std::vector<std::string> links = nubrio::linux_platform::linksInArguments(arguments);
    if (!links.empty() && registry->state() == InstanceRegistry::State::OtherCopy) {
        const std::vector<std::string> part = handOverPart(links);
        if (!part.empty() && registry->handOver({part, {}})) return 0;
        // Not taken: this copy starts, finds the other one and opens the editor itself.
    }

    // A second copy only opens the editor and ends: links stay with the copy that runs.
    if (registry->state() != InstanceRegistry::State::OtherCopy)
        nubrio::linux_platform::registerSchemeHandler(executable);

    nubrio::linux_platform::LinuxPlatform backend(static_cast<int>(arguments.size()), commandLine.data(),
                                                std::move(bundle), std::move(registry));
    if (!links.empty()) backend.application().openUrls(links);
    // The uninstall moves the bundle to the Trash and then terminates: its link handler goes with it.
    backend.setTerminationCleanup([executable] { nubrio::linux_platform::unregisterSchemeHandlerIfBundleGone(executable); });

    const int status = nubrio::runApplication(backend.platform());

    // Nothing is left to tear down that the system would not reclaim anyway; ending here keeps a quit
    // quick and spares Qt's global destructors running after the QApplication.
    backend.registry().release();
    std::fflush(nullptr);
    std::_Exit(status);
}
