#include "desktop_session.h"

#include <QStandardPaths>
#include <fstream>
#include <stdexcept>

#include "support/spin.h"
#include "x11_tools.h"

namespace nubrio::e2e {

using namespace std::chrono_literals;

std::optional<std::string> DesktopSession::missingRequirement() {
    for (const char* program : {"Xvfb", "dbus-daemon"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty()) return std::string(program);
    return std::nullopt;
}

DesktopSession::DesktopSession(const std::filesystem::path& workFolder, Options options) {
    startDisplay(workFolder, options.screen);
    startBus(workFolder);
    if (options.xembedTray) startTray(workFolder);
}

DesktopSession::~DesktopSession() {
    tray_.reset();
    bus_.reset();
    xvfb_.reset();
}

void DesktopSession::addTo(Environment& environment) const {
    environment["DISPLAY"] = display_;
    environment["DBUS_SESSION_BUS_ADDRESS"] = busAddress_;
}

void DesktopSession::startDisplay(const std::filesystem::path& workFolder, const std::string& screen) {
    // -displayfd lets the server pick a free display number and tells it once it accepts clients.
    xvfb_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {"Xvfb", "-displayfd", std::to_string(ChildProcess::ReportDescriptor), "-screen", "0", screen + "x24",
         "-nolisten", "tcp", "-noreset"},
        currentEnvironment(),
        workFolder / "xvfb.log",
        true});
    const auto number = xvfb_->readReportLine(20s);
    if (!number || number->empty())
        throw std::runtime_error("Xvfb did not report a display (" + xvfb_->state() + "): " + xvfb_->logText());
    display_ = ":" + *number;
}

void DesktopSession::startBus(const std::filesystem::path& workFolder) {
    // Our own configuration: no service directories, so nothing on the machine is ever activated.
    const auto config = workFolder / "session-bus.conf";
    std::ofstream(config) << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" << (workFolder / "bus").string()
                          << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
    bus_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {"dbus-daemon", "--config-file=" + config.string(), "--nofork", "--nopidfile",
         "--print-address=" + std::to_string(ChildProcess::ReportDescriptor)},
        currentEnvironment(),
        workFolder / "session-bus.log",
        true});
    const auto address = bus_->readReportLine(20s);
    if (!address || address->empty())
        throw std::runtime_error("dbus-daemon did not report its address (" + bus_->state() + "): " + bus_->logText());
    busAddress_ = *address;
}

void DesktopSession::startTray(const std::filesystem::path& workFolder) {
    if (QStandardPaths::findExecutable(QStringLiteral("trayer")).isEmpty())
        throw std::runtime_error("trayer is missing (apt-get install trayer)");
    Environment environment = currentEnvironment();
    addTo(environment);
    tray_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        {"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
         "--iconspacing", "4", "--tint", "0xdddddd", "--transparent", "true", "--alpha", "0"},
        environment,
        workFolder / "trayer.log"});
    const bool up = testing::spinUntil(
        [&] { return !tray_->running() || runTool({"xwininfo", "-name", "panel"}, environment).exitCode == 0; }, 20s);
    if (!up || !tray_->running())
        throw std::runtime_error("trayer did not show its panel (" + tray_->state() + "): " + tray_->logText());
}

}  // namespace nubrio::e2e
