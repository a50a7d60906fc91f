// The assembled program's tray icon on each desktop's real panel, run by panel_session.sh: the
// screen before and after the program starts shows where the icon is; the icon must stand out from
// the panel behind it by at least 3:1 (WCAG contrast), in each of the panel's light and dark looks,
// and follow a change of look while it runs.
#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <QImage>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "platform/linux/tray/panel_themes.h"
#include "screen_icon.h"
#include "support/spin.h"
#include "worker_probe.h"
#include "x11_tools.h"

namespace nubrio::panels {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using e2e::ChildProcess;
using e2e::Environment;

constexpr double kMinimumContrast = 3.0;
// Generous: panels on a loaded two-core machine are slow to redraw; nothing here measures speed.
constexpr auto kSettleDeadline = 40s;
constexpr auto kIconDeadline = 40s;
constexpr auto kChangeDeadline = 40s;
constexpr auto kPoll = 250ms;
// A reading counts once it has held for this long, so a passing first paint is not taken for the answer.
constexpr auto kSteady = 1000ms;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// One look of the panel: how to get there from the previous one (nothing for the first).
struct Look {
    std::string name;
    std::function<std::string()> apply;  // an error text, empty when done
    // The colour the tray asks icons to take, when it publishes one: the panel itself stays as it was.
    std::optional<QColor> published = std::nullopt;
};

bool near(const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) <= 24 && std::abs(a.green() - b.green()) <= 24 &&
           std::abs(a.blue() - b.blue()) <= 24;
}

std::string run(const QStringList& command) {
    const e2e::ToolResult result = e2e::runTool(command, e2e::currentEnvironment(), 60s);
    if (result.exitCode == 0) return {};
    return command.join(' ').toStdString() + " failed (" + std::to_string(result.exitCode) + "): " + result.error +
           result.output;
}

// What an XEmbed tray that publishes its colours sets on its selection owner window.
std::string publishTrayColours(const QColor& foreground) {
    int screen = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screen);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return "cannot connect to the display";
    }
    auto atom = [&](const std::string& name) {
        xcb_intern_atom_reply_t* reply =
            xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, name.size(), name.c_str()), nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return value;
    };
    const xcb_atom_t selection = atom("_NET_SYSTEM_TRAY_S" + std::to_string(screen));
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr);
    std::string error;
    if (!owner || owner->owner == XCB_WINDOW_NONE) {
        error = "no XEmbed tray owns the selection";
    } else {
        auto sixteen = [](int value) { return static_cast<std::uint32_t>(value * 257); };
        // Foreground, error, warning, success.
        // Foreground, then error, warning and success.
        std::uint32_t colours[12] = {0, 0, 0, 0xcccc, 0, 0, 0xf5f5, 0x7979, 0, 0x4e4e, 0x9a9a, 0x0606};
        colours[0] = sixteen(foreground.red());
        colours[1] = sixteen(foreground.green());
        colours[2] = sixteen(foreground.blue());
        // Checked: the answer comes once the server has made the change, before this connection ends.
        xcb_generic_error_t* failed =
            xcb_request_check(connection, xcb_change_property_checked(connection, XCB_PROP_MODE_REPLACE, owner->owner,
                                                                      atom("_NET_SYSTEM_TRAY_COLORS"),
                                                                      XCB_ATOM_CARDINAL, 32, 12, colours));
        if (failed) error = "the server refused the property (error " + std::to_string(failed->error_code) + ")";
        std::free(failed);
    }
    std::free(owner);
    xcb_disconnect(connection);
    return error;
}

class RealPanel : public ::testing::Test {
protected:
    void SetUp() override {
        panel_ = env("NUBRIO_PANEL");
        if (panel_.empty() || env("PANEL_WORK").empty())
            GTEST_SKIP() << "runs inside tests/panels/panel_session.sh, which starts the panel";
        bundle_ =
            env("NUBRIO_PANEL_BUNDLE").empty() ? fs::path(NUBRIO_BUNDLE_PATH) : fs::path(env("NUBRIO_PANEL_BUNDLE"));
        ASSERT_TRUE(fs::exists(bundle_ / "Contents/MacOS/Nubrio")) << "no bundle at " << bundle_;
        work_ = fs::path(env("PANEL_WORK")) / "test";
        fs::create_directories(work_);
        x11_ = std::make_unique<e2e::X11Tools>(e2e::currentEnvironment());
        ASSERT_TRUE(testing::spinUntil(e2e::portRefused, 20s))
            << "127.0.0.1:4173 is still held by another process; this test needs the port free";
    }

    void TearDown() override {
        if (program_) {
            program_->stop(10s);
            if (HasFailure()) std::cout << "--- program log\n" << program_->logText() << std::endl;
        }
        // The next test binds the port again.
        testing::spinUntil(e2e::portRefused, 20s);
        if (HasFailure() && !work_.empty()) {
            // The session removes its folder: keep the screenshots where they can be looked at.
            std::string pattern = (fs::temp_directory_path() / ("nubrio-panel-" + panel_ + ".XXXXXX")).string();
            if (!mkdtemp(pattern.data())) return;
            const fs::path kept = pattern;
            std::error_code ignored;
            for (const auto& entry : fs::directory_iterator(work_, ignored))
                fs::copy(entry.path(), kept / entry.path().filename(), fs::copy_options::overwrite_existing, ignored);
            std::cout << "Screenshots kept in " << kept << std::endl;
        }
    }

    QImage shoot(const std::string& name) {
        const fs::path file = work_ / (name + ".png");
        if (!x11_->screenshot(file)) return {};
        return QImage(QString::fromStdString(file.string()));
    }

    // The panel has drawn itself once two screenshots a moment apart are the same.
    QImage settledScreen() {
        QImage previous = shoot("settling");
        QImage settled;
        testing::spinUntil(
            [&] {
                testing::spinFor(500ms);
                const QImage next = shoot("settling");
                if (!next.isNull() && next == previous) settled = next;
                previous = next;
                return !settled.isNull();
            },
            kSettleDeadline);
        return settled;
    }

    // Polls the screen until `good` holds for a steady while; the last reading either way.
    std::optional<IconColours> readingWhen(const IconPlace& place, const std::function<bool(const IconColours&)>& good,
                                           std::chrono::milliseconds deadline, const std::string& shotName) {
        std::optional<IconColours> last;
        std::optional<std::chrono::steady_clock::time_point> since;
        testing::spinUntil(
            [&] {
                testing::spinFor(kPoll);
                last = coloursAt(shoot(shotName), place);
                const bool ok = last && good(*last);
                if (!ok) {
                    since.reset();
                    return false;
                }
                if (!since) since = std::chrono::steady_clock::now();
                return std::chrono::steady_clock::now() - *since >= kSteady;
            },
            deadline);
        return last;
    }

    void startProgram() {
        Environment environment = e2e::currentEnvironment();
        environment["QT_QPA_PLATFORM"] = "xcb";
        program_ = std::make_unique<ChildProcess>(ChildProcess::Options{
            {(bundle_ / "Contents/MacOS/Nubrio").string(), "--background"}, environment, work_ / "nubrio.log"});
    }

    // Starts the program on a panel that has drawn itself, and finds the icon it shows there; none
    // (and a failure) when it does not show.
    std::optional<IconPlace> startAndFindIcon() {
        const QImage before = settledScreen();
        if (before.isNull()) {
            ADD_FAILURE() << "the " << panel_ << " panel never held still";
            return std::nullopt;
        }
        startProgram();

        std::optional<IconPlace> place;
        std::string why;
        testing::spinUntil(
            [&] {
                testing::spinFor(kPoll);
                if (!program_->running()) return true;
                place = locateIcon(before, shoot("with-icon"), &why);
                return place.has_value();
            },
            kIconDeadline);
        if (!program_->running()) {
            ADD_FAILURE() << "the program ended: " << program_->state();
            return std::nullopt;
        }
        if (!place) {
            ADD_FAILURE() << "no icon appeared on the " << panel_ << " panel (" << why << ")";
            return std::nullopt;
        }
        std::cout << "[ " << panel_ << " ] icon at " << place->box.width() << "x" << place->box.height() << "+"
                  << place->box.x() << "+" << place->box.y() << ", shape fit " << static_cast<int>(place->match * 100)
                  << "%" << std::endl;
        return place;
    }

    // Starts the program once on the panel's first look, then goes through the others while it runs.
    void checkLooks(const std::vector<Look>& looks) {
        const auto start = std::chrono::steady_clock::now();
        auto elapsed = [&] {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, " (%.1f s)",
                          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            return std::string(seconds);
        };
        const std::optional<IconPlace> place = startAndFindIcon();
        ASSERT_TRUE(place);
        std::cout << "[ " << panel_ << " ] icon found" << elapsed() << std::endl;

        std::optional<IconColours> previous;
        for (const Look& look : looks) {
            SCOPED_TRACE(panel_ + ", " + look.name);
            if (look.apply) {
                const std::string error = look.apply();
                ASSERT_TRUE(error.empty()) << error;
            }
            // After a change, wait until the panel shows it, then until the icon follows.
            auto panelChanged = [&](const IconColours& reading) {
                return !previous || look.published ||
                       linux_platform::contrastRatio(reading.panel, previous->panel) >= 1.5;
            };
            auto good = [&](const IconColours& reading) {
                return panelChanged(reading) && reading.contrast >= kMinimumContrast &&
                       (!look.published || near(reading.icon, *look.published));
            };
            const auto reading = readingWhen(*place, good, kChangeDeadline, "look");
            ASSERT_TRUE(reading) << "the icon's place is off the screen";
            std::cout << "[ " << panel_ << " ] " << look.name << ": icon " << reading->describe() << elapsed()
                      << std::endl;
            EXPECT_TRUE(panelChanged(*reading))
                << "the panel did not change its look (" << previous->describe() << " before)";
            EXPECT_GE(reading->contrast, kMinimumContrast) << "icon " << reading->describe();
            if (look.published) {
                EXPECT_TRUE(near(reading->icon, *look.published))
                    << "the icon is not in the colour the tray publishes, " << look.published->name().toStdString();
            }
            previous = reading;
        }
        EXPECT_TRUE(program_->running()) << program_->state();
    }

    std::string panel_;
    fs::path bundle_, work_;
    std::unique_ptr<e2e::X11Tools> x11_;
    std::unique_ptr<ChildProcess> program_;
};

TEST_F(RealPanel, IconStandsOutOnEveryLookOfThePanel) {
    const QColor kPublished(0x1e, 0x3a, 0x8a);
    std::vector<Look> looks;
    if (panel_ == "xfce") {
        looks = {{"dark (the default)", nullptr},
                 {"light (dark-mode off)", [] {
                      return run({"xfconf-query", "-c", "xfce4-panel", "-p", "/panels/dark-mode", "-n", "-t", "bool",
                                  "-s", "false"});
                  }}};
    } else if (panel_ == "plasma") {
        // Under the default theme the panel follows the colour scheme (Breeze Dark's panel colour is
        // the one the Breeze Dark theme has); a theme with colours of its own wins over any scheme.
        looks = {{"Breeze", nullptr},
                 {"Breeze Dark colours", [] { return run({"plasma-apply-colorscheme", "BreezeDark"}); }},
                 {"Breeze Light theme over them", [] { return run({"plasma-apply-desktoptheme", "breeze-light"}); }}};
    } else if (panel_ == "gnome") {
        looks = {{"top bar", nullptr}};
    } else if (panel_ == "lxqt") {
        looks = {{"default theme", nullptr}, {"dark theme", [] {
                                                  // As LXQt's appearance settings save it: lxqt.conf in the user's
                                                  // folder.
                                                  const fs::path file =
                                                      fs::path(env("XDG_CONFIG_HOME")) / "lxqt/lxqt.conf";
                                                  fs::create_directories(file.parent_path());
                                                  const fs::path next = file.string() + ".new";
                                                  std::ofstream(next) << "[General]\ntheme=dark\n";
                                                  fs::rename(next, file);
                                                  return std::string();
                                              }}};
    } else if (panel_ == "trayer") {
        looks = {
            {"light grey, publishing no colours", nullptr},
            {"publishing a dark blue foreground", [kPublished] { return publishTrayColours(kPublished); }, kPublished}};
    } else {
        FAIL() << "no looks known for the panel " << panel_;
    }
    checkLooks(looks);
}

// The bounding box of what differs between two screenshots of one size.
QRect changedBox(const QImage& before, const QImage& after) {
    if (before.size() != after.size()) return {};
    const QImage a = before.convertToFormat(QImage::Format_RGB32), b = after.convertToFormat(QImage::Format_RGB32);
    QRect box;
    for (int y = 0; y < a.height(); ++y) {
        const auto* rowA = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* rowB = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x)
            if (rowA[x] != rowB[x]) box |= QRect(x, y, 1, 1);
    }
    return box;
}

// A left click opens the menu, as a click on the status item does, beside the icon: the panel's own
// D-Bus menu, or our popup at the pointer, whichever this panel's tray gives.
TEST_F(RealPanel, ALeftClickOnTheIconOpensTheMenuBesideIt) {
    constexpr int kMenuHeight = 150;  // ten entries; a tool tip is far lower
    constexpr int kBeside = 40;
    const std::optional<IconPlace> place = startAndFindIcon();
    ASSERT_TRUE(place);
    const QPoint centre = place->box.center();
    const QImage before = settledScreen();
    ASSERT_FALSE(before.isNull()) << "the panel never held still with the icon";
    ASSERT_TRUE(x11_->click(centre.x(), centre.y(), 1));
    QRect menu;
    testing::spinUntil(
        [&] {
            testing::spinFor(kPoll);
            menu = changedBox(before, shoot("left-click"));
            return menu.height() >= kMenuHeight;
        },
        kChangeDeadline);
    std::cout << "[ " << panel_ << " ] after a left click at " << centre.x() << "," << centre.y()
              << ", the screen changed in " << menu.width() << "x" << menu.height() << "+" << menu.x() << "+"
              << menu.y() << std::endl;
    ASSERT_GE(menu.height(), kMenuHeight) << "no menu after a left click on the icon";
    EXPECT_TRUE(menu.left() - kBeside <= centre.x() && centre.x() <= menu.right() + kBeside)
        << "the menu is not over the icon's column";
    const int gap = menu.top() > place->box.bottom()  ? menu.top() - place->box.bottom()
                    : menu.bottom() < place->box.top() ? place->box.top() - menu.bottom()
                                                       : 0;
    EXPECT_LE(gap, kBeside) << "the menu is " << gap << " px from the icon";
    x11_->key({"Escape"});
    EXPECT_TRUE(program_->running()) << program_->state();
}

}  // namespace
}  // namespace nubrio::panels
