#include "x11_tools.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <sstream>

#include "support/spin.h"

namespace nubrio::e2e {

ToolResult runTool(const QStringList& command, const Environment& environment, std::chrono::milliseconds deadline) {
    ToolResult result;
    if (command.isEmpty()) return result;
    QProcessEnvironment processEnvironment;
    for (const auto& [name, value] : environment)
        processEnvironment.insert(QString::fromStdString(name), QString::fromStdString(value));
    QProcess process;
    process.setProcessEnvironment(processEnvironment);
    process.start(command.front(), command.mid(1));
    if (!process.waitForStarted(5000)) {
        result.error = process.errorString().toStdString();
        return result;
    }
    const bool finished = testing::spinUntil([&] { return process.state() == QProcess::NotRunning; }, deadline);
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
        result.error = "did not finish in time";
        return result;
    }
    result.output = process.readAllStandardOutput().toStdString();
    result.error = process.readAllStandardError().toStdString();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return result;
}

namespace {

std::vector<unsigned long> windowIds(const std::string& text) {
    std::vector<unsigned long> ids;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) ids.push_back(std::stoul(line));
    return ids;
}

QString id(unsigned long window) { return QString::number(window); }

}  // namespace

std::vector<unsigned long> X11Tools::search(const QStringList& criteria) const {
    // xdotool ends with status 1 when nothing matches.
    const ToolResult result = run(QStringList{QStringLiteral("xdotool"), QStringLiteral("search")} + criteria);
    return result.exitCode == 0 ? windowIds(result.output) : std::vector<unsigned long>{};
}

std::vector<unsigned long> X11Tools::visibleWindowsOf(pid_t pid) const {
    return search({QStringLiteral("--onlyvisible"), QStringLiteral("--pid"), QString::number(pid)});
}

std::vector<unsigned long> X11Tools::visibleWindowsOfClass(const std::string& pattern) const {
    return search({QStringLiteral("--onlyvisible"), QStringLiteral("--class"), QString::fromStdString(pattern)});
}

std::string X11Tools::windowTypes(unsigned long window) const {
    return run({QStringLiteral("xprop"), QStringLiteral("-id"), id(window), QStringLiteral("_NET_WM_WINDOW_TYPE")})
        .output;
}

std::vector<std::string> X11Tools::textProperty(unsigned long window, const std::string& name) const {
    // xprop writes: NAME(TYPE) = "first", "second"
    const ToolResult result =
        run({QStringLiteral("xprop"), QStringLiteral("-id"), id(window), QString::fromStdString(name)});
    std::vector<std::string> strings;
    if (result.exitCode != 0) return strings;
    const QString text = QString::fromStdString(result.output);
    const auto equals = text.indexOf(QLatin1Char('='));
    if (equals < 0) return strings;
    static const QRegularExpression quoted(QStringLiteral(R"re("((?:[^"\\]|\\.)*)")re"));
    for (auto match = quoted.globalMatch(text, equals); match.hasNext();)
        strings.push_back(match.next().captured(1).toStdString());  // escapes left as xprop wrote them
    return strings;
}

std::optional<WindowGeometry> X11Tools::geometry(unsigned long window) const {
    const ToolResult result = run({QStringLiteral("xwininfo"), QStringLiteral("-id"), id(window)});
    if (result.exitCode != 0) return std::nullopt;
    const QString text = QString::fromStdString(result.output);
    auto field = [&](const char* label) -> std::optional<int> {
        const QRegularExpression pattern(QStringLiteral("%1:\\s*(-?\\d+)").arg(QString::fromLatin1(label)));
        const auto match = pattern.match(text);
        if (!match.hasMatch()) return std::nullopt;
        return match.captured(1).toInt();
    };
    const auto x = field("Absolute upper-left X"), y = field("Absolute upper-left Y");
    const auto width = field("Width"), height = field("Height");
    if (!x || !y || !width || !height) return std::nullopt;
    return WindowGeometry{*x, *y, *width, *height};
}

std::optional<unsigned long> X11Tools::parent(unsigned long window) const {
    const ToolResult result = run({QStringLiteral("xwininfo"), QStringLiteral("-children"), QStringLiteral("-id"), id(window)});
    const auto match = QRegularExpression(QStringLiteral("Parent window id: (0x[0-9a-fA-F]+)"))
                           .match(QString::fromStdString(result.output));
    if (!match.hasMatch()) return std::nullopt;
    return match.captured(1).toULong(nullptr, 16);
}

unsigned long X11Tools::root() const {
    const ToolResult info = run({QStringLiteral("xwininfo"), QStringLiteral("-root")});
    const auto match =
        QRegularExpression(QStringLiteral("Window id: (0x[0-9a-fA-F]+)")).match(QString::fromStdString(info.output));
    return match.hasMatch() ? match.captured(1).toULong(nullptr, 16) : 0;
}

bool X11Tools::focus(unsigned long window) const {
    // There is no window manager: the input focus is set directly.
    return run({QStringLiteral("xdotool"), QStringLiteral("windowfocus"), QStringLiteral("--sync"), id(window)}).exitCode == 0;
}

bool X11Tools::key(const std::vector<std::string>& keys) const {
    QStringList command{QStringLiteral("xdotool"), QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("150")};
    for (const std::string& name : keys) command << QString::fromStdString(name);
    return run(command).exitCode == 0;
}

bool X11Tools::click(int x, int y, int button) const {
    return run({QStringLiteral("xdotool"), QStringLiteral("mousemove"), QStringLiteral("--sync"), QString::number(x),
                QString::number(y), QStringLiteral("click"), QString::number(button)})
               .exitCode == 0;
}

std::optional<int> X11Tools::distinctColours(unsigned long window, const std::filesystem::path& scratch) const {
    const QString file = QString::fromStdString(scratch.string());
    if (run({QStringLiteral("import"), QStringLiteral("-window"), id(window), file}).exitCode != 0) return std::nullopt;
    const ToolResult count = run({QStringLiteral("identify"), QStringLiteral("-format"), QStringLiteral("%k"), file});
    if (count.exitCode != 0) return std::nullopt;
    bool ok = false;
    const int colours = QString::fromStdString(count.output).trimmed().toInt(&ok);
    return ok ? std::optional<int>(colours) : std::nullopt;
}

bool X11Tools::screenshot(const std::filesystem::path& file) const {
    return run({QStringLiteral("import"), QStringLiteral("-window"), QStringLiteral("root"),
                QString::fromStdString(file.string())})
               .exitCode == 0;
}

}  // namespace nubrio::e2e
