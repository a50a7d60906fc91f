// The panel's look: the template colour chosen from what the panel publishes (which source wins, the
// fallback), the readers of each desktop's settings on files of the test's own, and following
// changes on fakes of the services on a private session bus (the settings portal, xfconf, the
// panels' names) and in the settings files; the status item repainting when that changes.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QFile>
#include <QIcon>
#include <QPainter>
#include <QPalette>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QThread>
#include <cmath>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>
#include <filesystem>
#include <functional>
#include <optional>

#include "platform/linux/tray/panel_look.h"
#include "platform/linux/tray/status_bar.h"
#include "support/files.h"
#include "support/private_bus.h"
#include "support/status_icon_checks.h"
#include "support/temp_home.h"

namespace nubrio::linux_platform {
namespace {

bool waitFor(const std::function<bool()>& condition, int milliseconds = 15000) {
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// The light and dark icon colours, as the decision picks them.
const QColor kLight = iconColourOn(Qt::black);
const QColor kDark = iconColourOn(Qt::white);

TEST(TemplateColour, ChoosesBySourceInOrderOfTrust) {
    const QColor published(0x1e, 0x3a, 0x8a);
    auto facts = [](PanelKind panel) {
        PanelFacts made;
        made.panel = panel;
        return made;
    };
    struct Case {
        const char* name;
        PanelFacts facts;
        QColor expected;
    };
    std::vector<Case> cases;
    auto add = [&](const char* name, PanelFacts made, const QColor& expected) {
        cases.push_back({name, made, expected});
    };

    // Nothing known about the panel: the portal's preference, else a light icon for the dark panels
    // most desktops have.
    add("nothing known", facts(PanelKind::Unknown), kLight);
    for (const auto& [scheme, expected] : {std::pair{ColorScheme::PreferLight, kDark},
                                           {ColorScheme::PreferDark, kLight},
                                           {ColorScheme::NoPreference, kLight},
                                           {7u, kLight}}) {
        PanelFacts made = facts(PanelKind::Unknown);
        made.colorScheme = scheme;
        add("portal only", made, expected);
    }

    // Xfce: the panel's dark-mode, dark when unset; it outranks the portal either way.
    add("Xfce, dark-mode unset", facts(PanelKind::Xfce), kLight);
    for (const bool dark : {true, false}) {
        PanelFacts made = facts(PanelKind::Xfce);
        made.xfceDarkMode = dark;
        made.colorScheme = dark ? ColorScheme::PreferLight : ColorScheme::PreferDark;
        add(dark ? "Xfce dark, portal light" : "Xfce light, portal dark", made, dark ? kLight : kDark);
    }

    // GNOME's top bar is dark whatever the preference.
    PanelFacts gnome = facts(PanelKind::Gnome);
    gnome.colorScheme = ColorScheme::PreferLight;
    add("GNOME, portal light", gnome, kLight);

    // Plasma and LXQt: their panel colour; without one, the portal.
    for (const PanelKind panel : {PanelKind::Plasma, PanelKind::Lxqt}) {
        PanelFacts light = facts(panel), dark = facts(panel), unread = facts(panel);
        light.panelBackground = QColor(0xef, 0xf0, 0xf1);
        light.colorScheme = ColorScheme::PreferDark;
        dark.panelBackground = QColor(0x2a, 0x2e, 0x32);
        dark.colorScheme = ColorScheme::PreferLight;
        unread.colorScheme = ColorScheme::PreferLight;
        add("light panel colour", light, kDark);
        add("dark panel colour", dark, kLight);
        add("no panel colour, portal light", unread, kDark);
    }

    // An XEmbed tray: the colour it publishes, then the pixels behind the icon, then the desktop.
    PanelFacts tray = facts(PanelKind::Xfce);
    tray.xembed = true;
    tray.xfceDarkMode = true;
    tray.trayBackground = QColor(0xdc, 0xdc, 0xdc);
    add("XEmbed, light pixels in a dark Xfce", tray, kDark);
    tray.trayForeground = published;
    add("XEmbed, published colour", tray, published);
    PanelFacts bare = facts(PanelKind::Xfce);
    bare.xembed = true;
    bare.xfceDarkMode = false;
    add("XEmbed, nothing read yet", bare, kDark);
    // A StatusNotifierItem is not painted on the XEmbed tray, whatever that publishes.
    PanelFacts notEmbedded = facts(PanelKind::Xfce);
    notEmbedded.trayForeground = published;
    notEmbedded.trayBackground = QColor(Qt::white);
    add("StatusNotifierItem beside an XEmbed tray", notEmbedded, kLight);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(templateColour(c.facts).name(), c.expected.name());
    }
}

TEST(TemplateColour, StandsOutByThreeToOneOnAnyPanelColour) {
    EXPECT_GT(relativeLuminance(kLight), 0.6);
    EXPECT_LT(relativeLuminance(kDark), 0.1);
    for (int red = 0; red < 256; red += 15)
        for (int green = 0; green < 256; green += 15)
            for (int blue = 0; blue < 256; blue += 15) {
                const QColor panel(red, green, blue);
                ASSERT_GE(contrastRatio(iconColourOn(panel), panel), 3.0) << panel.name().toStdString();
            }
    // The WCAG figures themselves.
    EXPECT_NEAR(contrastRatio(Qt::black, Qt::white), 21.0, 1e-9);
    EXPECT_NEAR(contrastRatio(QColor(0x35, 0x35, 0x35), Qt::black), 1.71, 0.01);
    EXPECT_NEAR(contrastRatio(Qt::black, QColor(0x23, 0x23, 0x23)), contrastRatio(QColor(0x23, 0x23, 0x23), Qt::black),
                1e-12);
}

TEST(PanelReaders, NameThePanelFromTheCurrentDesktop) {
    const std::pair<const char*, PanelKind> cases[] = {
        {"XFCE", PanelKind::Xfce},
        {"KDE", PanelKind::Plasma},
        {"ubuntu:GNOME", PanelKind::Gnome},
        {"LXQt", PanelKind::Lxqt},
        {"X-Cinnamon", PanelKind::Unknown},
        {"", PanelKind::Unknown},
        {"Unity:Unity7:ubuntu", PanelKind::Unknown},
        {"foo::kde", PanelKind::Plasma},
    };
    for (const auto& [names, expected] : cases)
        EXPECT_EQ(panelFromDesktopNames(QString::fromLatin1(names)), expected) << names;
}

TEST(PanelReaders, ReadStyleSheetBackgrounds) {
    const QColor window(0x23, 0x23, 0x23), text(0xe1, 0xe6, 0xe6);
    const std::pair<const char*, std::optional<QColor>> cases[] = {
        {"#041b27", QColor(0x04, 0x1b, 0x27)},
        {" #EDECEB ", QColor(0xed, 0xec, 0xeb)},
        {"rgba(40, 40, 40, 60%)", QColor(40, 40, 40)},
        {"rgb(240,240,240)", QColor(240, 240, 240)},
        {"qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #515048, stop:1 #3C3B37)", QColor(0x46, 0x45, 0x3f)},
        {"palette(window)", window},
        {"palette(text)", text},
        {"black", QColor(Qt::black)},
        {"transparent", std::nullopt},
        {"url(panel.png)", std::nullopt},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE(value);
        const auto colour = qssBackgroundColour(QString::fromLatin1(value), window, text);
        ASSERT_EQ(colour.has_value(), expected.has_value());
        if (expected) {
            EXPECT_EQ(colour->name(), expected->name());
        }
    }
}

// A folder of XDG configuration and data of the test's own: user folders first, then system ones.
class DesktopFiles {
public:
    std::filesystem::path configHome() const { return home_.configHome(); }
    std::filesystem::path dataHome() const { return home_.dataHome(); }
    std::filesystem::path systemConfig() const { return home_.path() / "xdg-config-dirs"; }
    std::filesystem::path systemData() const { return home_.path() / "xdg-data-dirs"; }
    QStringList configDirs() const { return {path(configHome()), path(systemConfig())}; }
    QStringList dataDirs() const { return {path(dataHome()), path(systemData())}; }
    void write(const std::filesystem::path& file, const std::string& text) const {
        nubrio::testing::writeFile(file, text);
    }

    // Plasma theme folders as Plasma ships them: one with colours of its own, one following the scheme.
    void installPlasmaThemes() const {
        write(systemData() / "plasma/desktoptheme/breeze-dark/colors",
              "[Colors:Window]\nBackgroundAlternate=49,54,59\nBackgroundNormal=42,46,50\n");
        write(systemData() / "plasma/desktoptheme/default/metadata.json", "{}\n");
    }
    // LXQt themes as LXQt ships them.
    void installLxqtThemes() const {
        write(systemData() / "lxqt/themes/Clearlooks/lxqt-panel.qss",
              "LXQtPanel #BackgroundWidget {\n    background-color: #edeceb;\n    border: 0px solid #1a1a1a;\n}\n");
        write(systemData() / "lxqt/themes/dark/lxqt-panel.qss",
              "/* dark */\nLXQtPanel #BackgroundWidget {\n    background: rgba(0, 0, 0, 50%);\n}\n");
        write(systemData() / "lxqt/themes/system/lxqt-panel.qss",
              "LXQtPanel #BackgroundWidget {\n    background: palette(window);\n}\n");
    }

private:
    static QString path(const std::filesystem::path& folder) { return QString::fromStdString(folder.string()); }
    nubrio::testing::TempHome home_;
};

TEST(PanelReaders, PlasmaPaintsThePanelInItsThemeOrSchemeColours) {
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, std::string>> files;  // relative to the test's folder
        QColor expected;
    };
    const std::string darkScheme = "[Colors:Window]\nBackgroundNormal=32,35,38\nForegroundNormal=252,252,252\n";
    const Case cases[] = {
        {"nothing set: Breeze", {}, QColor(239, 240, 241)},
        {"a theme with colours of its own", {{"config/plasmarc", "[Theme]\nname=breeze-dark\n"}}, QColor(42, 46, 50)},
        {"the default theme follows the scheme",
         {{"config/plasmarc", "[Theme]\nname=default\n"}, {"config/kdeglobals", darkScheme}},
         QColor(32, 35, 38)},
        {"the theme's colours win over the scheme",
         {{"config/plasmarc", "[Theme]\nname=breeze-dark\n"},
          {"config/kdeglobals", "[Colors:Window]\nBackgroundNormal=239,240,241\n"}},
         QColor(42, 46, 50)},
        {"an unknown theme: the scheme",
         {{"config/plasmarc", "[Theme]\nname=gone\n"}, {"config/kdeglobals", darkScheme}},
         QColor(32, 35, 38)},
        {"the user's scheme over the system's",
         {{"system-config/kdeglobals", darkScheme},
          {"config/kdeglobals", "[Colors:Window]\nBackgroundNormal=250,250,250\n"}},
         QColor(250, 250, 250)},
        {"the system's scheme when the user has none", {{"system-config/kdeglobals", darkScheme}}, QColor(32, 35, 38)},
        {"other groups and flags are no match",
         {{"config/kdeglobals",
           "[Colors:View]\nBackgroundNormal=1,2,3\n[Colors:Window]\nBackgroundNormal[$e]=9,9,9\n[General]"
           "\nBackgroundNormal=4,5,6\n"}},
         QColor(9, 9, 9)},
        {"a value that is no colour",
         {{"config/kdeglobals", "[Colors:Window]\nBackgroundNormal=dark\n"}},
         QColor(239, 240, 241)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DesktopFiles desktop;
        desktop.installPlasmaThemes();
        for (const auto& [file, text] : c.files) {
            const bool system = file.starts_with("system-config/");
            desktop.write((system ? desktop.systemConfig() : desktop.configHome()) / file.substr(file.find('/') + 1),
                          text);
        }
        EXPECT_EQ(plasmaPanelBackground(desktop.configDirs(), desktop.dataDirs()).name(), c.expected.name());
    }
}

TEST(PanelReaders, LxqtPaintsThePanelAsItsThemeOrPanelSettingsSay) {
    struct Case {
        const char* name;
        std::string lxqtConf, panelConf;
        QColor expected;
    };
    const Case cases[] = {
        {"no settings: Qt's light palette", "", "", QColor(0xef, 0xef, 0xef)},
        {"Clearlooks", "[General]\ntheme=Clearlooks\n", "", QColor(0xed, 0xec, 0xeb)},
        {"dark", "[General]\ntheme=dark\n", "", QColor(Qt::black)},
        {"a theme that follows the palette", "[General]\ntheme=system\n[Palette]\nwindow_color=#232323\n", "",
         QColor(0x23, 0x23, 0x23)},
        {"a theme that is not installed", "[General]\ntheme=gone\n[Palette]\nwindow_color=#31363b\n", "",
         QColor(0x31, 0x36, 0x3b)},
        {"the panel's own colour", "[General]\ntheme=Clearlooks\n",
         "[General]\npanels=panel1\n[panel1]\nbackground-color=#102030\n", QColor(0x10, 0x20, 0x30)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DesktopFiles desktop;
        desktop.installLxqtThemes();
        if (!c.lxqtConf.empty()) desktop.write(desktop.configHome() / "lxqt/lxqt.conf", c.lxqtConf);
        if (!c.panelConf.empty()) desktop.write(desktop.configHome() / "lxqt/panel.conf", c.panelConf);
        EXPECT_EQ(lxqtPanelBackground(desktop.configDirs(), desktop.dataDirs()).name(), c.expected.name());
    }
}

// org.freedesktop.portal.Settings with just the appearance's color-scheme.
using testing::PrivateBus;

class FakePortal final : public QDBusVirtualObject {
public:
    unsigned scheme = ColorScheme::NoPreference;
    bool hasReadOne = true;  // portals before version 2 only have Read, which wraps the value twice

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != QLatin1String("org.freedesktop.portal.Settings")) return false;
        const QVariant value = QVariant::fromValue(QDBusVariant(scheme));
        if (message.member() == QLatin1String("ReadOne") && hasReadOne)
            connection.send(message.createReply(value));
        else if (message.member() == QLatin1String("Read"))
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(value))));
        else
            connection.send(message.createErrorReply(QDBusError::UnknownMethod, QStringLiteral("no such method")));
        return true;
    }
    void announce(const QDBusConnection& connection, unsigned newScheme) {
        scheme = newScheme;
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/portal/desktop"),
                                                         QStringLiteral("org.freedesktop.portal.Settings"),
                                                         QStringLiteral("SettingChanged"));
        signal << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
               << QVariant::fromValue(QDBusVariant(newScheme));
        connection.send(signal);
    }
};

// org.xfce.Xfconf with the panel's dark-mode only; unset, GetProperty fails as xfconfd does.
class FakeXfconf final : public QDBusVirtualObject {
public:
    std::optional<bool> darkMode;
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != QLatin1String("org.xfce.Xfconf")) return false;
        const QVariantList arguments = message.arguments();
        if (message.member() == QLatin1String("GetProperty") && arguments.size() == 2 &&
            arguments[0].toString() == QLatin1String("xfce4-panel") &&
            arguments[1].toString() == QLatin1String("/panels/dark-mode") && darkMode)
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(*darkMode))));
        else
            connection.send(message.createErrorReply(QStringLiteral("org.xfce.Xfconf.Error.PropertyNotFound"),
                                                     QStringLiteral("Property does not exist")));
        return true;
    }
    void set(const QDBusConnection& connection, std::optional<bool> value,
             const QString& property = QStringLiteral("/panels/dark-mode")) {
        if (property == QLatin1String("/panels/dark-mode")) darkMode = value;
        QDBusMessage signal =
            QDBusMessage::createSignal(QStringLiteral("/org/xfce/Xfconf"), QStringLiteral("org.xfce.Xfconf"),
                                       value ? QStringLiteral("PropertyChanged") : QStringLiteral("PropertyRemoved"));
        signal << QStringLiteral("xfce4-panel") << property;
        if (value) signal << QVariant::fromValue(QDBusVariant(*value));
        connection.send(signal);
    }
};

class PanelAppearanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bus_.isRunning()) GTEST_SKIP() << "dbus-daemon could not be started";
        // The machine's desktop must not take part: the tests say which one is there.
        const QByteArray saved = qgetenv("XDG_CURRENT_DESKTOP");
        savedDesktop_ =
            qEnvironmentVariableIsSet("XDG_CURRENT_DESKTOP") ? std::optional<QByteArray>(saved) : std::nullopt;
        qunsetenv("XDG_CURRENT_DESKTOP");
    }
    void TearDown() override {
        if (savedDesktop_)
            qputenv("XDG_CURRENT_DESKTOP", *savedDesktop_);
        else
            qunsetenv("XDG_CURRENT_DESKTOP");
    }
    void publish(FakePortal& portal) {
        portalConnection_ = bus_.connect(QStringLiteral("portal"));
        ASSERT_TRUE(
            portalConnection_.registerVirtualObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal));
        ASSERT_TRUE(portalConnection_.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
    }
    // A panel's well-known name, owned by a connection of its own.
    QDBusConnection ownPanelName(const QString& name) {
        QDBusConnection connection = bus_.connect(QStringLiteral("panel"));
        EXPECT_TRUE(connection.registerService(name)) << name.toStdString();
        return connection;
    }
    QDBusConnection publish(FakeXfconf& xfconf) {
        QDBusConnection connection = bus_.connect(QStringLiteral("xfconf"));
        EXPECT_TRUE(connection.registerVirtualObject(QStringLiteral("/org/xfce/Xfconf"), &xfconf));
        EXPECT_TRUE(connection.registerService(QStringLiteral("org.xfce.Xfconf")));
        return connection;
    }
    PrivateBus bus_;
    QDBusConnection portalConnection_{QString()};
    std::optional<QByteArray> savedDesktop_;
};

TEST_F(PanelAppearanceTest, ReadsThePreferenceAndFollowsItsChanges) {
    for (const bool hasReadOne : {true, false}) {
        SCOPED_TRACE(hasReadOne ? "ReadOne" : "Read only");
        FakePortal portal;
        portal.scheme = ColorScheme::PreferDark;
        portal.hasReadOne = hasReadOne;
        publish(portal);

        PanelAppearance appearance(bus_.connect(QStringLiteral("app")));
        int changes = 0;
        QObject::connect(&appearance, &PanelAppearance::changed, [&] { ++changes; });
        ASSERT_TRUE(waitFor([&] { return appearance.colorScheme() == ColorScheme::PreferDark; }));
        EXPECT_GT(appearance.iconColour().lightness(), 200);

        const int before = changes;
        portal.announce(portalConnection_, ColorScheme::PreferLight);
        ASSERT_TRUE(waitFor([&] { return appearance.colorScheme() == ColorScheme::PreferLight; }));
        EXPECT_GT(changes, before);
        EXPECT_LT(appearance.iconColour().lightness(), 80);
        portalConnection_.unregisterService(QStringLiteral("org.freedesktop.portal.Desktop"));
        portalConnection_.unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
    }
}

TEST_F(PanelAppearanceTest, TheOwnerOfAPanelNameOutranksTheCurrentDesktop) {
    struct Case {
        const char* currentDesktop;
        const char* busName;  // owned before the program starts
        PanelKind expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, PanelKind::Unknown},
        {"XFCE", nullptr, PanelKind::Xfce},
        {"ubuntu:GNOME", nullptr, PanelKind::Gnome},
        {"KDE", "org.gnome.Shell", PanelKind::Gnome},
        {nullptr, "org.kde.plasmashell", PanelKind::Plasma},
        {"LXQt", "org.xfce.Panel", PanelKind::Xfce},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.currentDesktop ? c.currentDesktop : "no desktop") + ", " +
                     (c.busName ? c.busName : "no name"));
        if (c.currentDesktop)
            qputenv("XDG_CURRENT_DESKTOP", c.currentDesktop);
        else
            qunsetenv("XDG_CURRENT_DESKTOP");
        std::optional<QDBusConnection> panel;
        if (c.busName) panel = ownPanelName(QString::fromLatin1(c.busName));
        PanelAppearance appearance(bus_.connect(QStringLiteral("app")));
        EXPECT_EQ(appearance.facts().panel, c.expected);
        if (panel) panel->unregisterService(QString::fromLatin1(c.busName));
    }
}

TEST_F(PanelAppearanceTest, FollowsXfcePanelsDarkModeAndAPanelThatStartsLater) {
    FakeXfconf xfconf;
    const QDBusConnection xfconfConnection = publish(xfconf);
    PanelAppearance appearance(bus_.connect(QStringLiteral("app")));
    int changes = 0;
    QObject::connect(&appearance, &PanelAppearance::changed, [&] { ++changes; });
    EXPECT_EQ(appearance.facts().panel, PanelKind::Unknown);

    // The panel starts after the program, with dark-mode off.
    xfconf.darkMode = false;
    QDBusConnection panel = ownPanelName(QStringLiteral("org.xfce.Panel"));
    ASSERT_TRUE(waitFor([&] { return appearance.facts().xfceDarkMode == false; }));
    EXPECT_EQ(appearance.facts().panel, PanelKind::Xfce);
    EXPECT_EQ(appearance.iconColour(), kDark);

    struct Step {
        const char* name;
        std::optional<bool> value;  // none: the property is removed
        QColor expected;
    };
    for (const Step& step :
         {Step{"on", true, kLight}, Step{"off", false, kDark}, Step{"removed", std::nullopt, kLight}}) {
        SCOPED_TRACE(step.name);
        const int before = changes;
        xfconf.set(xfconfConnection, step.value);
        ASSERT_TRUE(waitFor([&] { return appearance.facts().xfceDarkMode == step.value && changes > before; }));
        EXPECT_EQ(appearance.iconColour(), step.expected);
    }

    // Other properties and channels change nothing.
    const int before = changes;
    xfconf.set(xfconfConnection, false, QStringLiteral("/panels/panel-1/size"));
    waitFor([] { return false; }, 500);
    EXPECT_EQ(changes, before);

    // The panel goes: nothing known any more.
    panel.unregisterService(QStringLiteral("org.xfce.Panel"));
    ASSERT_TRUE(waitFor([&] { return appearance.facts().panel == PanelKind::Unknown; }));
    EXPECT_EQ(appearance.iconColour(), kLight);
}

TEST_F(PanelAppearanceTest, FollowsPlasmaAndLxqtSettingsFiles) {
    struct Case {
        const char* desktop;
        std::string file, first, second;  // the user's settings file and two versions of it; none at first when empty
        QColor firstIcon, secondIcon;
    };
    const Case cases[] = {
        {"KDE", "plasmarc", "[Theme]\nname=default\n", "[Theme]\nname=breeze-dark\n", kDark, kLight},
        // A fresh Plasma has no plasmarc of the user's, nor an lxqt folder of theirs.
        {"KDE", "plasmarc", "", "[Theme]\nname=breeze-dark\n", kDark, kLight},
        {"LXQt", "lxqt/lxqt.conf", "", "[General]\ntheme=dark\n", kDark, kLight},
        {"KDE", "kdeglobals", "[Colors:Window]\nBackgroundNormal=32,35,38\n",
         "[Colors:Window]\nBackgroundNormal=239,240,241\n", kLight, kDark},
        {"LXQt", "lxqt/lxqt.conf", "[General]\ntheme=dark\n", "[General]\ntheme=Clearlooks\n", kLight, kDark},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        DesktopFiles desktop;
        desktop.installPlasmaThemes();
        desktop.installLxqtThemes();
        if (!c.first.empty()) desktop.write(desktop.configHome() / c.file, c.first);
        qputenv("XDG_CURRENT_DESKTOP", c.desktop);
        PanelAppearance appearance(bus_.connect(QStringLiteral("app")));
        int changes = 0;
        QObject::connect(&appearance, &PanelAppearance::changed, [&] { ++changes; });
        EXPECT_EQ(appearance.iconColour(), c.firstIcon);

        // Saved as settings are: a new file renamed over the old one.
        const std::filesystem::path target = desktop.configHome() / c.file;
        desktop.write(target.string() + ".new", c.second);
        std::filesystem::rename(target.string() + ".new", target);
        EXPECT_TRUE(waitFor([&] { return appearance.iconColour() == c.secondIcon; }))
            << "still " << appearance.iconColour().name().toStdString();
        EXPECT_GT(changes, 0);

        // And again, once the watch has moved to the new file.
        desktop.write(target, c.first);
        EXPECT_TRUE(waitFor([&] { return appearance.iconColour() == c.firstIcon; }));
    }
}

TEST_F(PanelAppearanceTest, UnderPlasmaOnlyTheFilesThatDecideAreWatched) {
    DesktopFiles desktop;
    desktop.installPlasmaThemes();
    const std::filesystem::path plasmarc = desktop.configHome() / "plasmarc";
    const std::filesystem::path kdeglobals = desktop.configHome() / "kdeglobals";
    const std::filesystem::path themeColours = desktop.systemData() / "plasma/desktoptheme/breeze-dark/colors";
    desktop.write(plasmarc, "[Theme]\nname=breeze-dark\n");
    desktop.write(kdeglobals, "[Colors:Window]\nBackgroundNormal=239,240,241\n");
    qputenv("XDG_CURRENT_DESKTOP", "KDE");
    PanelAppearance appearance(bus_.connect(QStringLiteral("app")));
    EXPECT_EQ(appearance.iconColour(), kLight) << "breeze-dark's own colours";

    // Every open of the three files from now on is a reading of them.
    const int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(opens, 0);
    for (const std::filesystem::path& file : {plasmarc, kdeglobals, themeColours})
        ASSERT_GE(inotify_add_watch(opens, file.c_str(), IN_OPEN), 0) << file;
    auto openCount = [&] {
        int count = 0;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = read(opens, buffer, sizeof buffer)) > 0;)
            for (char* at = buffer; at < buffer + n; at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
                ++count;
        return count;
    };

    // Other programs save their settings beside them, as settings are saved: a new file renamed over.
    const std::filesystem::path other = desktop.configHome() / "kwinrc";
    for (int save = 0; save < 50; ++save) {
        desktop.write(other.string() + ".new", "[Windows]\nsave=" + std::to_string(save) + "\n");
        std::filesystem::rename(other.string() + ".new", other);
        QCoreApplication::processEvents();
    }
    waitFor([] { return false; }, 1000);
    EXPECT_EQ(openCount(), 0) << "the panel's files were read again for another program's settings";
    close(opens);

    // The theme's own colours are followed too.
    desktop.write(themeColours, "[Colors:Window]\nBackgroundNormal=239,240,241\n");
    EXPECT_TRUE(waitFor([&] { return appearance.iconColour() == kDark; }));
}

TEST_F(PanelAppearanceTest, StatusItemRepaintsWhenThePanelChanges) {
    FakeXfconf xfconf;
    xfconf.darkMode = true;
    const QDBusConnection xfconfConnection = publish(xfconf);
    const QDBusConnection panel = ownPanelName(QStringLiteral("org.xfce.Panel"));
    auto appearance = std::make_shared<PanelAppearance>(bus_.connect(QStringLiteral("app")));
    ASSERT_TRUE(waitFor([&] { return appearance->facts().xfceDarkMode == true; }));

    LinuxStatusItem item(appearance);
    item.button()->setImage(statusImage());
    item.button()->setToolTip("Nubrio · procesamiento en esta computadora");
    EXPECT_EQ(item.trayIcon()->toolTip(), QStringLiteral("Nubrio · procesamiento en esta computadora"));
    EXPECT_TRUE(item.trayIcon()->isVisible());
    EXPECT_FALSE(appearance->facts().xembed) << "offscreen: no XEmbed tray";

    const QIcon icon = item.trayIcon()->icon();
    EXPECT_TRUE(icon.availableSizes().contains(QSize(22, 22)));
    expectStatusIcon(icon.pixmap(QSize(22, 22)).toImage(), kLight);
    const QImage sharp = icon.pixmap(QSize(22, 22), 2.0).toImage();
    EXPECT_EQ(sharp.size(), QSize(44, 44));
    expectStatusIcon(sharp, kLight);

    xfconf.set(xfconfConnection, false);
    ASSERT_TRUE(waitFor([&] { return appearance->facts().xfceDarkMode == false; }));
    expectStatusIcon(item.trayIcon()->icon().pixmap(QSize(22, 22)).toImage(), kDark);
}

}  // namespace
}  // namespace nubrio::linux_platform
