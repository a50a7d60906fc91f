// The program's command line, read without starting the program: what each argument list asks, and
// what the process does first with it (and the status that step ends with), with and without
// another copy running. The check is never answered by a running copy.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/check_mode.h"
#include "app/launch_flags.h"
#include "bundle/presentation.h"
#include "platform/linux/shell/command_line.h"

namespace nubrio::linux_platform::command_line {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const Flags kFlags{check_mode::Flag, launch_flags::Background};
constexpr const char* kProgram = "/opt/Nubrio.app/Contents/MacOS/Nubrio";

CommandLine parsed(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), kProgram);
    return parse(arguments, kFlags);
}

struct Case {
    std::vector<std::string> arguments;  // after the program path
    CommandLine expected;
    Step alone, besideACopy;  // the first step without and with another copy running
};

CommandLine run(bool check = false, bool background = false, std::optional<std::string> action = std::nullopt,
                std::vector<std::string> links = {}) {
    return CommandLine{Request::Run, "", check, background, std::move(action), std::move(links)};
}
CommandLine asked(Request request, std::string unknown = {}, bool check = false) {
    CommandLine line;
    line.request = request;
    line.unknownOption = std::move(unknown);
    line.checkMode = check;
    return line;
}

TEST(CommandLine, EachArgumentListAsksOneThingAndTheCheckComesFirst) {
    const Case cases[] = {
        {{}, run(), Step::Start, Step::Start},
        {{"--background"}, run(false, true), Step::Start, Step::Start},
        {{"--verify-startup"}, run(true), Step::Start, Step::Start},
        {{"--background", "--verify-startup"}, run(true, true), Step::Start, Step::Start},
        // The launcher's actions go to the running copy; without one the program starts to run them,
        // but there is nothing to quit.
        {{"--restart"}, run(false, false, "restart"), Step::StartForAction, Step::HandOverCommand},
        {{"--login-off"}, run(false, false, "loginoff"), Step::StartForAction, Step::HandOverCommand},
        {{"--quit"}, run(false, false, "quit"), Step::NothingToDo, Step::HandOverCommand},
        {{"--quit", "--restart"}, run(false, false, "restart"), Step::StartForAction, Step::HandOverCommand},
        // A check runs whatever else is on the line: never a hand-over, never status 0 before the
        // worker answered (beside a copy the core refuses it with 2).
        {{"--verify-startup", "--quit"}, run(true, false, "quit"), Step::Start, Step::Start},
        {{"--verify-startup", "--restart"}, run(true, false, "restart"), Step::Start, Step::Start},
        {{"--verify-startup", "nubrio://connect"}, run(true, false, {}, {"nubrio://connect"}), Step::Start,
         Step::Start},
        // Links go to the running copy, and start this one otherwise.
        {{"nubrio://connect"}, run(false, false, {}, {"nubrio://connect"}), Step::Start, Step::HandOverLinks},
        {{"--background", "nubrio://connect", "https://nubrio.app/x"},
         run(false, true, {}, {"nubrio://connect", "https://nubrio.app/x"}), Step::Start, Step::HandOverLinks},
        {{"--restart", "nubrio://connect"}, run(false, false, "restart", {"nubrio://connect"}), Step::StartForAction,
         Step::HandOverCommand},
        // Qt's own options, with their values, are Qt's; other arguments that are not links are
        // ignored as before.
        {{"-platform", "offscreen", "--background"}, run(false, true), Step::Start, Step::Start},
        {{"--platform", "xcb", "-style=fusion", "-reverse", "-session", "1a2b"}, run(), Step::Start, Step::Start},
        {{"relative/path", "nubrio"}, run(), Step::Start, Step::Start},
        // The usage and the version start nothing and ask no copy.
        {{"--help"}, asked(Request::Help), Step::Help, Step::Help},
        {{"-h", "--background"}, asked(Request::Help), Step::Help, Step::Help},
        {{"--version"}, asked(Request::Version), Step::Version, Step::Version},
        {{"--verify-startup", "--help"}, asked(Request::Help, {}, true), Step::Help, Step::Help},
        {{"--help", "--version"}, asked(Request::Help), Step::Help, Step::Help},
        // Unknown options are refused, even beside known ones; flags count only whole and exact.
        {{"--bogus"}, asked(Request::UnknownOption, "--bogus"), Step::Refuse, Step::Refuse},
        {{"--help", "-x"}, asked(Request::UnknownOption, "-x"), Step::Refuse, Step::Refuse},
        {{"--Background"}, asked(Request::UnknownOption, "--Background"), Step::Refuse, Step::Refuse},
        {{"-background"}, asked(Request::UnknownOption, "-background"), Step::Refuse, Step::Refuse},
        {{"--verify-startup=1"}, asked(Request::UnknownOption, "--verify-startup=1"), Step::Refuse, Step::Refuse},
        {{"--verify-startup", "-psn:1"}, asked(Request::UnknownOption, "-psn:1", true), Step::Refuse, Step::Refuse},
    };
    for (const Case& c : cases) {
        std::string name;
        for (const std::string& argument : c.arguments) name += " " + argument;
        SCOPED_TRACE("Nubrio" + name);
        const CommandLine line = parsed(c.arguments);
        EXPECT_EQ(line.request, c.expected.request);
        EXPECT_EQ(line.unknownOption, c.expected.unknownOption);
        EXPECT_EQ(line.checkMode, c.expected.checkMode);
        // The rest only matters for a run.
        if (c.expected.request == Request::Run) {
            EXPECT_EQ(line.background, c.expected.background);
            EXPECT_EQ(line.action, c.expected.action);
            EXPECT_EQ(line.links, c.expected.links);
        }
        EXPECT_EQ(firstStep(parsed(c.arguments), false), c.alone);
        EXPECT_EQ(firstStep(parsed(c.arguments), true), c.besideACopy);
    }
}

// With something else at the socket's path (a datagram socket, a file) nobody can tell whether a copy
// runs: a launcher's action, quitting included, says so rather than doing nothing or starting a copy
// that would fight the running one for the port. Other starts go on as before.
TEST(CommandLine, AnActionThatCannotTellWhetherACopyRunsEndsSayingSo) {
    const struct {
        std::vector<std::string> arguments;
        Step step;
    } table[] = {
        {{"--quit"}, Step::CannotHandOver},
        {{"--about"}, Step::CannotHandOver},
        {{"--open-files"}, Step::CannotHandOver},
        {{"nubrio://connect"}, Step::Start},
        {{}, Step::Start},
        {{"--verify-startup", "--quit"}, Step::Start},
        {{"--help"}, Step::Help},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.arguments.empty() ? "(none)" : row.arguments.back());
        EXPECT_EQ(firstStep(parsed(row.arguments), false, false), row.step);
    }
    const std::string line =
        handOverFailureLine("--quit", HandOverFailure::NotOurSocket, "/run/user/1000/app.nubrio.desktop\nnubrio: x");
    EXPECT_THAT(line, HasSubstr("--quit"));
    EXPECT_THAT(line, HasSubstr("/run/user/1000/app.nubrio.desktop\\nnubrio: x"));
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line";
    for (const HandOverFailure why : {HandOverFailure::Busy, HandOverFailure::Refused, HandOverFailure::NoAnswer,
                                      HandOverFailure::Gone, HandOverFailure::OtherUser, HandOverFailure::NoFolder,
                                      HandOverFailure::Unusable})
        EXPECT_THAT(handOverFailureLine("--about", why, "/s"), ::testing::StartsWith("nubrio: no se pudo pedir --about a Nubrio: "));
}

TEST(CommandLine, EachStepEndsWithItsStatus) {
    const std::pair<Step, std::optional<int>> cases[] = {
        {Step::Help, 0},           {Step::Version, 0},       {Step::Refuse, 2},
        {Step::HandOverCommand, 0}, {Step::NothingToDo, 0},  {Step::HandOverLinks, 0},
        {Step::CannotHandOver, 1},
        // the run's: the check's 0 or 2, the ordinary termination's 0
        {Step::Start, std::nullopt}, {Step::StartForAction, std::nullopt},
    };
    for (const auto& [step, status] : cases) EXPECT_EQ(statusOf(step), status) << static_cast<int>(step);
}

TEST(CommandLine, TheCheckAndBackgroundFlagsCountAnywhereAsTheCoreReadsThem) {
    // The program path is compared like the other arguments.
    EXPECT_TRUE(parse({"--verify-startup"}, kFlags).checkMode);
    EXPECT_EQ(parse({"--verify-startup"}, kFlags).request, Request::Run);
    EXPECT_TRUE(parse({"--background", "x"}, kFlags).background);
}

TEST(CommandLine, EachLaunchersActionIsFoundByItsWholeFlagAfterTheProgram) {
    for (const launcher::DesktopAction& action : launcher::kActions) {
        SCOPED_TRACE(action.id);
        EXPECT_EQ(parse({"/x/Nubrio", action.flag}, kFlags).action, action.id);
        EXPECT_EQ(parse({action.flag}, kFlags).action, std::nullopt) << "the program path is not a flag";
    }
    EXPECT_EQ(parse({"/x/Nubrio", "quit"}, kFlags).action, std::nullopt);
    EXPECT_EQ(parse({"/x/Nubrio", "--quit=1"}, kFlags).request, Request::UnknownOption);
}

TEST(CommandLine, TheUsageNamesEveryFlagTheLinksAndTheLaunchersActions) {
    const std::string help = helpText(kFlags, presentation().commands);
    for (const char* part : {"Uso: nubrio", "--background", "--verify-startup", "--help", "--version",
                             "nubrio://connect", "--restart", "«Reiniciar procesamiento…»", "--quit",
                             "«Salir de Nubrio…»", "--login-on", "«Abrir al iniciar sesión: activar»"})
        EXPECT_THAT(help, HasSubstr(part));
    for (const launcher::DesktopAction& action : launcher::kActions) EXPECT_THAT(help, HasSubstr(action.flag));

    const std::string refusal = refusalLine(kFlags, "--bogus");
    EXPECT_THAT(refusal, HasSubstr("«--bogus»"));
    EXPECT_THAT(refusal, HasSubstr("Uso: nubrio"));
    EXPECT_EQ(refusal.find('\n'), refusal.size() - 1) << "one line";
}

// An option is the caller's text: it cannot add a line of its own, drive the terminal, or fill it.
TEST(CommandLine, TheRefusalShowsTheOptionOnOneLineEscapedAndCut) {
    const struct {
        std::string option, shown;
    } table[] = {
        {"--x\nnubrio: forged", "«--x\\nnubrio: forged»"},
        {"--\x1b[2J\x1b]0;title\x07", "«--\\x1b[2J\\x1b]0;title\\x07»"},
        {"--" + std::string(128 * 1024, 'a'), "«--" + std::string(198, 'a') + "… (y 130874 bytes más)»"},
    };
    for (const auto& row : table) {
        const std::string refusal = refusalLine(kFlags, row.option);
        SCOPED_TRACE(refusal.substr(0, 80));
        EXPECT_THAT(refusal, HasSubstr(row.shown));
        EXPECT_EQ(refusal.find('\n'), refusal.size() - 1) << "one line";
        EXPECT_EQ(refusal.find('\x1b'), std::string::npos);
        EXPECT_LT(refusal.size(), 1024u);
    }
}

TEST(LinksInArgumentsTest, TakesArgumentsThatBeginWithAScheme) {
    EXPECT_THAT(linksInArguments({"nubrio://connect"}), IsEmpty()) << "the program path is not a link";
    EXPECT_THAT(linksInArguments({"/opt/Nubrio.app/Contents/MacOS/Nubrio", "nubrio://connect", "--background",
                                  "-psn:1", "relative/path", "/abs:path", "https://nubrio.app/x?a=b:c",
                                  "x-my.scheme+1:opaque", "1nubrio://connect", "no_scheme:x", ":empty", "mailto:a@b",
                                  "nubrio"}),
                ElementsAre("nubrio://connect", "https://nubrio.app/x?a=b:c", "x-my.scheme+1:opaque", "mailto:a@b"));
}

// What a program started anew in this one's place is given again: Qt's options with their values, as
// written, and nothing else (flags, actions and links have been acted on).
TEST(CommandLineTest, QtsOptionsAreKeptForAStartAnew) {
    EXPECT_EQ(qtOptionsIn({"/x/Nubrio", "-platform", "xcb", "--open-logs", "-style=fusion", "nubrio://connect",
                           "-reverse", "--background", "--display", ":1"}),
              (std::vector<std::string>{"-platform", "xcb", "-style=fusion", "-reverse", "--display", ":1"}));
    EXPECT_TRUE(qtOptionsIn({"/x/Nubrio", "--background", "nubrio://connect"}).empty());
    EXPECT_EQ(qtOptionsIn({"/x/Nubrio", "-platform"}), std::vector<std::string>{"-platform"}) << "a value missing";
}

}  // namespace
}  // namespace nubrio::linux_platform::command_line
