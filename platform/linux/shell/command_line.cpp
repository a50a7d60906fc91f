#include "platform/linux/shell/command_line.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "platform/linux/base/printable.h"

namespace nubrio::linux_platform::command_line {

namespace {

constexpr int kUsageStatus = 2;
constexpr int kHandOverFailedStatus = 1;
constexpr const char* kProgram = "nubrio";
constexpr std::size_t kMaxOptionShown = 200;

// Options that QApplication takes out of the command line itself (with one dash or two), and
// whether the next argument is their value; "-option=value" is taken as one.
struct QtOption {
    std::string_view name;
    bool takesValue;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true},   {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"qwindowgeometry", true}, {"qwindowicon", true},   {"qwindowtitle", true},  {"geometry", true},
    {"title", true},      {"icon", true},               {"display", true},       {"name", true},
    {"session", true},    {"style", true},              {"stylesheet", true},    {"visual", true},
    {"reverse", false},   {"widgetcount", false},       {"testability", false},  {"sync", false},
    {"nograb", false},    {"dograb", false},            {"qmljsdebugger", false},
};

// The Qt option an argument is, if any.
const QtOption* qtOption(std::string_view argument) {
    if (argument.size() < 2 || argument[0] != '-') return nullptr;
    argument.remove_prefix(argument.starts_with("--") ? 2 : 1);
    const std::string_view name = argument.substr(0, argument.find('='));
    for (const QtOption& option : kQtOptions)
        if (option.name == name) return &option;
    return nullptr;
}

// RFC 3986: scheme = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." ), then ':'.
bool beginsWithScheme(const std::string& text) {
    if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    for (std::size_t i = 1; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ':') return true;
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return false;
}

bool isActionFlag(const std::string& argument) {
    return std::any_of(std::begin(launcher::kActions), std::end(launcher::kActions),
                       [&](const launcher::DesktopAction& action) { return argument == action.flag; });
}

}  // namespace

std::vector<std::string> linksInArguments(const std::vector<std::string>& arguments) {
    std::vector<std::string> links;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!argument.empty() && argument[0] != '-' && beginsWithScheme(argument)) links.push_back(argument);
    }
    return links;
}

std::vector<std::string> qtOptionsIn(const std::vector<std::string>& arguments) {
    std::vector<std::string> options;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const QtOption* option = qtOption(arguments[i]);
        if (!option) continue;
        options.push_back(arguments[i]);
        if (option->takesValue && arguments[i].find('=') == std::string::npos && i + 1 < arguments.size())
            options.push_back(arguments[++i]);
    }
    return options;
}

CommandLine parse(const std::vector<std::string>& arguments, const Flags& flags) {
    CommandLine line;
    std::vector<std::string> rest;  // the program path and what is not Qt's
    bool help = false, version = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == flags.check) line.checkMode = true;
        if (argument == flags.background) line.background = true;
        if (i == 0) {
            rest.push_back(argument);
            continue;
        }
        if (const QtOption* option = qtOption(argument)) {
            if (option->takesValue && argument.find('=') == std::string::npos) ++i;
            continue;
        }
        rest.push_back(argument);
        if (argument.empty() || argument[0] != '-' || argument == flags.check || argument == flags.background) continue;
        if (argument == "--help" || argument == "-h") {
            help = true;
            continue;
        }
        if (argument == "--version") {
            version = true;
            continue;
        }
        if (isActionFlag(argument)) continue;
        if (line.unknownOption.empty()) line.unknownOption = argument;
    }
    // Two actions on one line: the table's order decides, as it always has.
    for (const launcher::DesktopAction& action : launcher::kActions)
        if (std::find(rest.begin() + 1, rest.end(), action.flag) != rest.end()) {
            line.action = action.id;
            break;
        }
    line.links = linksInArguments(rest);
    if (!line.unknownOption.empty())
        line.request = Request::UnknownOption;
    else if (help)
        line.request = Request::Help;
    else if (version)
        line.request = Request::Version;
    return line;
}

Step firstStep(const CommandLine& line, bool otherCopyRuns, bool canTell) {
    switch (line.request) {
        case Request::Help: return Step::Help;
        case Request::Version: return Step::Version;
        case Request::UnknownOption: return Step::Refuse;
        case Request::Run: break;
    }
    // The check's answer is the worker's, never a running copy's.
    if (line.checkMode) return Step::Start;
    if (line.action) {
        if (otherCopyRuns) return Step::HandOverCommand;
        if (!canTell) return Step::CannotHandOver;
        const launcher::DesktopAction* action = launcher::actionNamed(*line.action);
        return action && std::string_view(action->selector) == "quit" ? Step::NothingToDo : Step::StartForAction;
    }
    if (!line.links.empty() && otherCopyRuns) return Step::HandOverLinks;
    return Step::Start;
}

std::optional<int> statusOf(Step step) {
    switch (step) {
        case Step::Help:
        case Step::Version:
        case Step::HandOverCommand:
        case Step::NothingToDo:
        case Step::HandOverLinks: return 0;
        case Step::Refuse: return kUsageStatus;
        case Step::CannotHandOver: return kHandOverFailedStatus;
        case Step::StartForAction:
        case Step::Start: break;
    }
    return std::nullopt;
}

namespace {

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

}  // namespace

std::string helpText(const Flags& flags, const std::vector<launcher::MenuCommand>& commands) {
    constexpr std::size_t kColumn = 22;
    std::string text = std::string("Uso: ") + kProgram + " [opción…] [enlace…]\n\n" +
                       "Nubrio mantiene en marcha el procesamiento de videos en esta computadora y abre el editor\n"
                       "de Nubrio en el navegador. Sin opciones, arranca y abre el editor; si ya hay una copia\n"
                       "abierta, abre el editor desde ahí.\n\n"
                       "Opciones:\n";
    text += "  " + padded(flags.background, kColumn) + "arranca sin abrir el editor\n";
    text += "  " + padded(flags.check, kColumn) +
            "comprueba sin pantalla que el procesamiento arranca y responde: sale con 0\n" +
            std::string(2 + kColumn, ' ') +
            "cuando respondió, con 2 si no pudo arrancar, no respondió o ya hay otra copia\n" +
            std::string(2 + kColumn, ' ') + "abierta; no abre nada ni le pasa nada a otra copia\n";
    // Each command of the menu, as the launcher offers it.
    for (const launcher::NamedAction& named : launcher::namedActions(commands))
        text += "  " + padded(named.action->flag, kColumn) + "«" + named.title + "»\n";
    text += std::string(2 + kColumn, ' ') +
            "(en la copia abierta, que pide confirmación como el menú; sin una copia\n" +
            std::string(2 + kColumn, ' ') + "abierta, Nubrio arranca sin el editor y lo hace, salvo salir)\n";
    text += "  " + padded("--help", kColumn) + "muestra esta ayuda\n";
    text += "  " + padded("--version", kColumn) + "muestra la versión\n\n";
    text += "Enlaces:\n";
    text += "  " + padded("nubrio://connect", kColumn) +
            "abre el editor cuando el procesamiento está listo; si ya hay una copia\n" +
            std::string(2 + kColumn, ' ') + "abierta, se lo pasa a ella\n";
    return text;
}

std::string handOverFailureLine(const std::string& flag, HandOverFailure why, const std::string& socketPath) {
    const std::string socket = printable(socketPath, kMaxOptionShown);
    std::string reason;
    switch (why) {
        case HandOverFailure::Busy:
            reason = "la copia abierta estuvo ocupada con otras conexiones y no lo tomó; probá de nuevo en un momento";
            break;
        case HandOverFailure::Refused: reason = "la copia abierta no lo aceptó (puede estar cerrándose)"; break;
        case HandOverFailure::NoAnswer: reason = "la copia abierta no respondió"; break;
        case HandOverFailure::Gone: reason = "la copia abierta ya no responde en " + socket; break;
        case HandOverFailure::OtherUser: reason = socket + " es de otro usuario"; break;
        case HandOverFailure::NotOurSocket:
            reason = "en " + socket + " hay algo que no es el socket de Nubrio, así que no se sabe si hay una copia abierta";
            break;
        case HandOverFailure::NoFolder: reason = "no hay una carpeta privada para el socket de Nubrio"; break;
        case HandOverFailure::Unusable: reason = "no se pudo usar " + socket; break;
    }
    return std::string(kProgram) + ": no se pudo pedir " + flag + " a Nubrio: " + reason + ".\n";
}

std::string refusalLine(const Flags& flags, const std::string& option) {
    std::string actions;
    for (const launcher::DesktopAction& action : launcher::kActions) actions += std::string(" | ") + action.flag;
    // Shown as one line, whatever the option holds, and not echoed whole.
    std::size_t cut = 0;
    std::string shown = printable(option, kMaxOptionShown, &cut);
    if (cut > 0) shown += " (y " + std::to_string(cut) + " bytes más)";
    return std::string(kProgram) + ": la opción «" + shown + "» no existe. Uso: " + kProgram + " [" +
           flags.background + " | " + flags.check + actions + " | --help | --version] [enlace…]\n";
}

}  // namespace nubrio::linux_platform::command_line
