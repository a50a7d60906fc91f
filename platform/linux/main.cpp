// The program on Linux, wiring only: the one place where the core and the Linux backend meet. The
// command line is read once; then the usage, the version, a refusal, a hand-over to the running copy,
// or Qt's start, our desktop entry, and the core's run on the Linux platform.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/check_mode.h"
#include "app/launch_flags.h"
#include "app/run_application.h"
#include "app/statusbar/status_icon.h"
#include "bundle/presentation.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/base/xdg_dirs.h"
#include "platform/linux/desktop/data_folder.h"
#include "platform/linux/desktop/launcher.h"
#include "platform/linux/linux_platform.h"
#include "platform/linux/process/exec_in_place.h"
#include "platform/linux/shell/bundle.h"
#include "platform/linux/shell/command_line.h"
#include "platform/linux/shell/qt_start.h"
#include "platform/linux/single_instance/handover.h"
#include "platform/linux/single_instance/registry.h"
#include "platform/linux/single_instance/socket.h"
#include "worker/contract.h"

namespace {

namespace linux_platform = nubrio::linux_platform;
namespace command_line = linux_platform::command_line;
using linux_platform::InstanceRegistry;
using linux_platform::LinuxStatusBar;

[[noreturn]] void end(int status, const std::string& output, std::FILE* stream) {
    std::fputs(output.c_str(), stream);
    linux_platform::program_log::flush();
    std::fflush(nullptr);
    std::_Exit(status);
}

std::string actionFlag(const std::string& id) {
    const linux_platform::launcher::DesktopAction* action = linux_platform::launcher::actionNamed(id);
    return action ? action->flag : id;
}

std::string socketText(const InstanceRegistry& registry) {
    return registry.socketPath() ? registry.socketPath()->string() : "";
}

command_line::HandOverFailure deliveryFailure(linux_platform::instance_socket::Delivery outcome) {
    using linux_platform::instance_socket::Delivery;
    using Failure = command_line::HandOverFailure;
    switch (outcome) {
        case Delivery::Busy: return Failure::Busy;
        case Delivery::NoAnswer: return Failure::NoAnswer;
        case Delivery::Unreachable: return Failure::Gone;
        case Delivery::NotOurs: return Failure::OtherUser;
        case Delivery::Taken:
        case Delivery::NotTaken: break;
    }
    return Failure::Refused;
}

command_line::HandOverFailure unusableFailure(InstanceRegistry::Unusable why) {
    using Failure = command_line::HandOverFailure;
    switch (why) {
        case InstanceRegistry::Unusable::NoFolder: return Failure::NoFolder;
        case InstanceRegistry::Unusable::WrongKind: return Failure::NotOurSocket;
        case InstanceRegistry::Unusable::OtherUser: return Failure::OtherUser;
        case InstanceRegistry::Unusable::Busy: return Failure::Busy;
        case InstanceRegistry::Unusable::None:
        case InstanceRegistry::Unusable::Failed: break;
    }
    return Failure::Unusable;
}

std::string versionLine(linux_platform::LinuxBundle& bundle) {
    const std::string version = nubrio::readVersion(bundle);
    return version.empty() ? "Nubrio\n" : "Nubrio " + version + "\n";
}

}  // namespace

int main(int argc, char** argv) {
    // The single-instance socket of the program this one replaced after an upgrade, if it is one:
    // taken before any thread could read the environment that names it.
    linux_platform::UniqueFd inherited(linux_platform::takeInheritedListener());
    const std::vector<std::string> arguments(argv, argv + argc);
    const command_line::Flags flags{nubrio::check_mode::Flag, nubrio::launch_flags::Background};
    const command_line::CommandLine line = command_line::parse(arguments, flags);

    // Answered before anything starts: no display, no socket, no file.
    switch (const command_line::Step step = command_line::firstStep(line, false)) {
        case command_line::Step::Help:
            end(*command_line::statusOf(step), command_line::helpText(flags, nubrio::presentation().commands), stdout);
        case command_line::Step::Refuse:
            end(*command_line::statusOf(step), command_line::refusalLine(flags, line.unknownOption), stderr);
        default: break;
    }
    // Everything else comes from the bundle around the program, found only through /proc.
    std::string unknownPath;
    const std::optional<std::filesystem::path> running = linux_platform::LinuxBundle::runningExecutable(unknownPath);
    if (!running) {
        if (line.checkMode)
            end(nubrio::check_mode::FailureStatus, "Could not start: cannot tell where the program is: " + unknownPath + "\n",
                stderr);
        end(1, "Nubrio no puede saber desde dónde se ejecuta (" + unknownPath + "); hace falta /proc.\n", stderr);
    }
    auto bundle = std::make_unique<linux_platform::LinuxBundle>(*running);
    if (command_line::firstStep(line, false) == command_line::Step::Version)
        end(*command_line::statusOf(command_line::Step::Version), versionLine(*bundle), stdout);

    // The check's standard error carries only its own lines.
    if (line.checkMode) linux_platform::program_log::keepOffStandardError();
    linux_platform::QtStart qt(argc, argv,
                               {line.checkMode, nubrio::check_mode::Flag, nubrio::check_mode::FailureStatus,
                                nubrio::drawStatusIcon});
    // Where the program was started from: after an uninstall /proc/self/exe points into the Trash.
    const std::filesystem::path executable = bundle->executablePath();

    auto registry = std::make_unique<InstanceRegistry>(InstanceRegistry::defaultSocketPath(), std::move(inherited));
    registry->claim();
    const bool otherCopy = registry->state() == InstanceRegistry::State::OtherCopy;
    const bool inPlaceOfAnother = registry->tookOver();
    const bool canTell = registry->state() != InstanceRegistry::State::Unavailable;

    // The arguments the core reads; a launcher's action with no copy running starts without the editor.
    std::vector<char*> coreArguments(argv, argv + argc);
    char backgroundFlag[] = "--background";
    const linux_platform::launcher::DesktopAction* action = nullptr;
    switch (const command_line::Step step = command_line::firstStep(line, otherCopy, canTell)) {
        // The running copy runs the menu command itself, its confirmation included.
        case command_line::Step::HandOverCommand: {
            linux_platform::instance_socket::Delivery outcome;
            if (registry->handOver({{}, *line.action}, &outcome)) end(*command_line::statusOf(step), "", stderr);
            end(*command_line::statusOf(command_line::Step::CannotHandOver),
                command_line::handOverFailureLine(actionFlag(*line.action), deliveryFailure(outcome), socketText(*registry)),
                stderr);
        }
        case command_line::Step::CannotHandOver:
            end(*command_line::statusOf(step),
                command_line::handOverFailureLine(actionFlag(*line.action), unusableFailure(registry->unusable()),
                                                  socketText(*registry)),
                stderr);
        case command_line::Step::NothingToDo: end(*command_line::statusOf(step), "", stderr);
        case command_line::Step::HandOverLinks: {
            // Not taken: this copy starts, finds the other one and opens the editor itself.
            const std::vector<std::string> part = linux_platform::handover::linksThatFit(line.links);
            if (!part.empty() && registry->handOver({part, {}})) end(*command_line::statusOf(step), "", stderr);
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
                                           nubrio::worker::StopPollCount, nubrio::worker::StopPollIntervalMicroseconds},
                                          line.checkMode ? LinuxStatusBar::Tray::None : LinuxStatusBar::Tray::Shown);
    // After an upgrade the program comes back with what it was started with, minus what it has done.
    std::vector<std::string> relaunchCommand{arguments.front()};
    for (const std::string& option : command_line::qtOptionsIn(arguments)) relaunchCommand.push_back(option);
    backend.setRelaunchCommand(std::move(relaunchCommand));
    // The user heard once that no tray shows the icon; the upgraded program does not say it again.
    if (inPlaceOfAnother) backend.statusBar().quietAboutNoTray();
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

    // Before the core makes its data folder. Only the copy that holds the instance moves a folder that
    // another copy's worker could be using; the check moves nothing, and uses the folder where it is.
    const bool mayMove = !line.checkMode && backend.registry().state() == InstanceRegistry::State::Holder;
    backend.fileManager().setApplicationSupportDirectory(
        linux_platform::data_folder::settle(linux_platform::homeDirectory(), linux_platform::userDataHome(),
                                            nubrio::worker::DataFolder, mayMove, linux_platform::program_log::write)
            .applicationSupport);

    const int status = nubrio::runApplication(backend.platform());

    // Nothing is left to tear down that the system would not reclaim anyway; ending here keeps a quit
    // quick and spares Qt's global destructors running after the QApplication.
    backend.registry().release();
    linux_platform::program_log::flush();
    std::fflush(nullptr);
    std::_Exit(status);
}
