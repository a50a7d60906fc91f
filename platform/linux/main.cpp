// The program on Linux, wiring only: the one place where the core and the Linux backend meet. The
// command line is read once; then the usage, the version, a refusal, a hand-over to the running copy,
// or Qt's start, our desktop entry, and the core's run on the Linux platform.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/check_mode.h"
#include "app/launch_flags.h"
#include "app/run_application.h"
#include "app/statusbar/status_icon.h"
#include "bundle/presentation.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/desktop/launcher.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/shell/bundle.h"
#include "platform/linux/shell/command_line.h"
#include "platform/linux/shell/qt_start.h"
#include "platform/linux/single_instance/handover.h"
#include "platform/linux/single_instance/registry.h"
#include "worker/contract.h"

namespace {

namespace linux_platform = nubrio::linux_platform;
namespace command_line = linux_platform::command_line;
using linux_platform::InstanceRegistry;

[[noreturn]] void end(int status, const std::string& output, std::FILE* stream) {
    std::fputs(output.c_str(), stream);
    std::fflush(nullptr);
    std::_Exit(status);
}

std::string versionLine(linux_platform::LinuxBundle& bundle) {
    const std::string version = nubrio::readVersion(bundle);
    return version.empty() ? "Nubrio\n" : "Nubrio " + version + "\n";
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    const command_line::Flags flags{nubrio::check_mode::Flag, nubrio::launch_flags::Background};
    const command_line::CommandLine line = command_line::parse(arguments, flags);

    // Answered before anything starts: no display, no socket, no file.
    auto bundle = std::make_unique<linux_platform::LinuxBundle>(linux_platform::LinuxBundle::runningExecutable());
    switch (const command_line::Step step = command_line::firstStep(line, false)) {
        case command_line::Step::Help:
            end(*command_line::statusOf(step), command_line::helpText(flags, nubrio::presentation().commands), stdout);
        case command_line::Step::Version: end(*command_line::statusOf(step), versionLine(*bundle), stdout);
        case command_line::Step::Refuse:
            end(*command_line::statusOf(step), command_line::refusalLine(flags, line.unknownOption), stderr);
        default: break;
    }

    // The check's standard error carries only its own lines.
    if (line.checkMode) linux_platform::program_log::keepOffStandardError();
    linux_platform::QtStart qt(argc, argv,
                               {line.checkMode, nubrio::check_mode::Flag, nubrio::check_mode::FailureStatus,
                                nubrio::drawStatusIcon});
    // Where the program was started from: after an uninstall /proc/self/exe points into the Trash.
    const std::filesystem::path executable = bundle->executablePath();

    auto registry = std::make_unique<InstanceRegistry>(InstanceRegistry::defaultSocketPath());
    registry->claim();
    const bool otherCopy = registry->state() == InstanceRegistry::State::OtherCopy;

    // The arguments the core reads; a launcher's action with no copy running starts without the editor.
    std::vector<char*> coreArguments(argv, argv + argc);
    char backgroundFlag[] = "--background";
    const linux_platform::launcher::DesktopAction* action = nullptr;
    switch (const command_line::Step step = command_line::firstStep(line, otherCopy)) {
        // The running copy runs the menu command itself, its confirmation included.
        case command_line::Step::HandOverCommand: registry->handOver({{}, *line.action}); return *command_line::statusOf(step);
        case command_line::Step::NothingToDo: return *command_line::statusOf(step);
        case command_line::Step::HandOverLinks: {
            // Not taken: this copy starts, finds the other one and opens the editor itself.
            const std::vector<std::string> part = linux_platform::handover::linksThatFit(line.links);
            if (!part.empty() && registry->handOver({part, {}})) return *command_line::statusOf(step);
            break;
        }
        case command_line::Step::StartForAction:
            action = linux_platform::launcher::actionNamed(*line.action);
            coreArguments.push_back(backgroundFlag);
            break;
        default: break;
    }
    const int coreArgumentCount = static_cast<int>(coreArguments.size());
    coreArguments.push_back(nullptr);

    if (!line.checkMode && !qt.displayGiven()) qt.failWithoutDisplay("no hay pantalla (ni DISPLAY ni WAYLAND_DISPLAY)");

    linux_platform::LinuxPlatform backend(coreArgumentCount, coreArguments.data(), std::move(bundle), std::move(registry),
                                          {nubrio::worker::SignalTerminate, nubrio::worker::SignalKill,
                                           nubrio::worker::StopPollCount, nubrio::worker::StopPollIntervalMicroseconds});
    // A second copy shows no icon; the check has no tray.
    if (!otherCopy && !line.checkMode) backend.showStatusItemFirst(nubrio::statusIconImage());
    // A second copy only opens the editor and ends: the entry stays with the copy that runs. The check
    // leaves the desktop as it found it. The entry and its icons wait until the tray icon shows.
    if (!otherCopy && !line.checkMode)
        backend.statusBar().afterFirstItem([executable] {
            if (const auto error = linux_platform::launcher::registerFor(executable, nubrio::presentation()))
                linux_platform::program_log::write(error->message);
        });
    if (action) backend.runAfterLaunch(*action);
    // The check opens nothing: links on its command line are not acted on.
    if (!line.links.empty() && !line.checkMode) backend.application().openUrls(line.links);
    // The uninstall moves the bundle to the Trash and then terminates: the entry and icon go with it.
    backend.setTerminationCleanup([executable] {
        linux_platform::launcher::unregisterIfBundleGone(executable, nubrio::presentation().editorPage);
    });

    const int status = nubrio::runApplication(backend.platform());

    // Nothing is left to tear down that the system would not reclaim anyway; ending here keeps a quit
    // quick and spares Qt's global destructors running after the QApplication.
    backend.registry().release();
    std::fflush(nullptr);
    std::_Exit(status);
}
