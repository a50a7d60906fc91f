#pragma once
// The program's command line, read once: what was asked (run, the usage, the version, or an option
// that does not exist), the check mode, the background start, a launcher's desktop action and the
// links; and what the process does first with it, given whether another copy runs.
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/desktop/launcher.h"

namespace nubrio::linux_platform::command_line {

// The flags whose names the core owns.
struct Flags {
    std::string check;       // the unattended check
    std::string background;  // a start that does not open the editor
};

enum class Request { Run, Help, Version, UnknownOption };

struct CommandLine {
    Request request = Request::Run;
    std::string unknownOption;  // the first one, for UnknownOption
    bool checkMode = false;
    bool background = false;
    std::optional<std::string> action;  // the id of a launcher's desktop action
    std::vector<std::string> links;
    bool operator==(const CommandLine&) const = default;
};

// `arguments` as the process got them, the program path first. A flag counts only as a whole,
// case-sensitive argument; the check and background flags anywhere, the program path included, as
// the core reads them. Qt's own options (-platform xcb, -style=fusion, …) and their values are
// Qt's. Any other argument that begins with '-' is an unknown option; an argument that is neither
// a flag nor a link is ignored, as before.
CommandLine parse(const std::vector<std::string>& arguments, const Flags& flags);

// The links among the arguments (the program path first): every later argument that is not a flag
// and begins with a URI scheme and ':' ("nubrio://connect", "https://…").
std::vector<std::string> linksInArguments(const std::vector<std::string>& arguments);

// Qt's own options among the arguments (the program path first), each with its value, as given: a
// program started anew in this one's place is started with them too.
std::vector<std::string> qtOptionsIn(const std::vector<std::string>& arguments);

// What the process does once it knows whether another copy runs. A check runs whatever else is on
// the line: it hands nothing over, and the core refuses it (status 2) beside another copy.
enum class Step {
    Help,             // the usage on standard output, status 0
    Version,          // "Nubrio <version>" on standard output, status 0
    Refuse,           // one usage line on standard error, status 2
    HandOverCommand,  // the desktop action to the running copy, status 0 once taken; otherwise CannotHandOver
    CannotHandOver,   // one line saying why the action could not reach a running copy, status 1
    NothingToDo,      // quitting with no copy to quit, status 0
    StartForAction,   // no copy to act: the program starts without the editor and runs the action
    HandOverLinks,    // the links to the running copy, status 0 once taken; otherwise Start
    Start,            // the program runs and its status is the run's
};
// `canTell`: whether the single-instance socket could be looked at; when it could not (something
// else at its path), an action cannot know whether a copy runs, and starts nothing.
Step firstStep(const CommandLine& line, bool otherCopyRuns, bool canTell = true);
// The status a step ends the process with; none for Start, whose status is the run's.
std::optional<int> statusOf(Step step);

// Why a launcher's action did not reach the running copy.
enum class HandOverFailure {
    Busy,          // it stayed busy with other connections
    Refused,       // it closed without taking it (it may be ending)
    NoAnswer,      // it did not answer in time
    Gone,          // nobody listens any more
    OtherUser,     // the socket is another user's
    NotOurSocket,  // something else is at the socket's path (a file, a datagram socket)
    NoFolder,      // no private folder for the socket
    Unusable,      // the system refused the socket
};
// The line on standard error for CannotHandOver, naming the action's flag and the socket's path.
std::string handOverFailureLine(const std::string& flag, HandOverFailure why, const std::string& socketPath);

// `nubrio --help`: in Spanish, naming every flag, the links and the launcher's desktop actions with
// their menu titles (`commands`, the menu's below "Abrir Nubrio").
std::string helpText(const Flags& flags, const std::vector<launcher::MenuCommand>& commands);
// The one line that refuses an unknown option.
std::string refusalLine(const Flags& flags, const std::string& option);

}  // namespace nubrio::linux_platform::command_line
