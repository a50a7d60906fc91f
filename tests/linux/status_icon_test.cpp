// The drawn status icon on the real backend: coverage at tray sizes and on 2x screens, the image's
// flags, the template colour from the desktop's preference (a fake settings portal on a private
// session bus) or the palette, and the status item repainting when that changes.
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
#include <QPalette>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QThread>
#include <cmath>
#include <functional>
#include <optional>

#include "app/statusbar/status_icon.h"
#include "platform/linux/status_bar_linux.h"
#include "platform/linux/status_icon_linux.h"

namespace nubrio::linux_platform {
namespace {

platform::Image statusImage() { return platform::Image{18, 18, true, true, &drawStatusIcon}; }

bool waitFor(const std::function<bool()>& condition) {
    QDeadlineTimer deadline(15000);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// The pixel of `image` that holds the point (x, y) of the icon's 100 × 100 design grid.
QColor at(const QImage& image, double x, double y) {
    return image.pixelColor(static_cast<int>(std::floor(x / 100 * image.width())),
                            static_cast<int>(std::floor(y / 100 * image.height())));
}

struct GridPoint {
    double x, y;
};
// Well inside a shape even at 18 px: both bars of each bracket and the triangle.
const GridPoint kInside[] = {{5, 40}, {40, 9}, {95, 60}, {60, 90}, {45, 50}};
// Between the shapes and in the two empty corners.
const GridPoint kOutside[] = {{25, 50}, {80, 50}, {50, 25}, {90, 10}, {10, 90}};

void expectStatusIcon(const QImage& image, const QColor& tint) {
    for (const GridPoint& point : kInside) {
        const QColor pixel = at(image, point.x, point.y);
        EXPECT_EQ(pixel.alpha(), 255) << "(" << point.x << ", " << point.y << ") should be covered";
        EXPECT_EQ(pixel.rgb() & 0xffffff, tint.rgb() & 0xffffff) << "(" << point.x << ", " << point.y << ")";
    }
    for (const GridPoint& point : kOutside)
        EXPECT_EQ(at(image, point.x, point.y).alpha(), 0) << "(" << point.x << ", " << point.y << ") should be empty";
}

TEST(StatusIconRendering, CoversTheShapesAndNothingBetweenAtEverySize) {
    struct Case {
        int size;
        qreal ratio;
    };
    const QColor tint(0x12, 0x34, 0x56);
    for (const Case& c : {Case{18, 1.0}, Case{36, 1.0}, Case{18, 2.0}, Case{22, 1.0}}) {
        SCOPED_TRACE(testing::Message() << c.size << " px at " << c.ratio << "x");
        const QImage image = renderStatusIcon(statusImage(), c.size, tint, c.ratio);
        ASSERT_EQ(image.width(), std::lround(c.size * c.ratio));
        ASSERT_EQ(image.height(), std::lround(c.size * c.ratio));
        EXPECT_EQ(image.devicePixelRatio(), c.ratio);
        expectStatusIcon(image, tint);
    }
}

TEST(StatusIconRendering, HonoursFlippedAndTemplateFlags) {
    // A band along the top 20 units of whatever coordinate system the handler is given.
    const platform::DrawingHandler band = [](const platform::Rect& rect, platform::DrawingContext& context) {
        const double s = rect.width / 100;
        context.beginPath();
        context.moveTo(0, 0);
        context.lineTo(100 * s, 0);
        context.lineTo(100 * s, 20 * s);
        context.lineTo(0, 20 * s);
        context.closePath();
        context.setFillBlack();
        context.fillPath();
        return true;
    };
    const QColor tint(Qt::red);

    const QImage flipped = renderStatusIcon(platform::Image{18, 18, true, true, band}, 36, tint);
    EXPECT_EQ(at(flipped, 50, 5).alpha(), 255);
    EXPECT_EQ(at(flipped, 50, 95).alpha(), 0);

    // y grows upwards: the band lies along the bottom; not a template: painted as drawn, black.
    const QImage upright = renderStatusIcon(platform::Image{18, 18, false, false, band}, 36, tint);
    EXPECT_EQ(at(upright, 50, 5).alpha(), 0);
    EXPECT_EQ(at(upright, 50, 95), QColor(Qt::black));

    const QImage failed = renderStatusIcon(
        platform::Image{18, 18, true, true,
                        [&](const platform::Rect& r, platform::DrawingContext& c) { return band(r, c) && false; }},
        36, tint);
    EXPECT_EQ(at(failed, 50, 5).alpha(), 0) << "a handler that fails draws nothing";
}

TEST(TemplateColour, FollowsTheDesktopPreferenceThenThePalette) {
    QPalette palette;
    palette.setColor(QPalette::WindowText, QColor(0x80, 0x20, 0x20));
    enum Expected { Light, Dark, Palette };
    struct Case {
        std::optional<unsigned> scheme;
        Expected expected;
    };
    for (const Case& c : {Case{ColorScheme::PreferDark, Light}, Case{ColorScheme::PreferLight, Dark},
                          Case{ColorScheme::NoPreference, Palette}, Case{std::nullopt, Palette}, Case{7u, Palette}}) {
        SCOPED_TRACE(c.scheme ? std::to_string(*c.scheme) : "unknown");
        const QColor colour = templateColour(c.scheme, palette);
        switch (c.expected) {
            case Light: EXPECT_GT(colour.lightness(), 200); break;
            case Dark: EXPECT_LT(colour.lightness(), 80); break;
            case Palette: EXPECT_EQ(colour, palette.color(QPalette::WindowText)); break;
        }
    }
}

// A session bus of the test's own, with no services to activate.
class PrivateBus {
public:
    PrivateBus() {
        const QString config = directory_.filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly)) return;
        file.write(R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>)");
        file.close();
        daemon_.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config,
                                                      QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (!daemon_.waitForStarted(10000)) return;
        waitFor([&] { return daemon_.canReadLine() || daemon_.state() == QProcess::NotRunning; });
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
    ~PrivateBus() {
        for (const QString& name : names_) QDBusConnection::disconnectFromBus(name);
        if (daemon_.state() != QProcess::NotRunning) {
            daemon_.terminate();
            daemon_.waitForFinished(10000);
        }
    }
    bool isRunning() const { return !address_.isEmpty(); }
    QDBusConnection connect(const QString& name) {
        const QString unique = name + QString::number(++counter_);
        names_.push_back(unique);
        return QDBusConnection::connectToBus(address_, unique);
    }

private:
    QTemporaryDir directory_;
    QProcess daemon_;
    QString address_;
    QStringList names_;
    static inline int counter_ = 0;
};

// org.freedesktop.portal.Settings with just the appearance's color-scheme.
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

class PanelAppearanceTest : public testing::Test {
protected:
    void SetUp() override {
        if (!bus_.isRunning()) GTEST_SKIP() << "dbus-daemon could not be started";
    }
    void publish(FakePortal& portal) {
        portalConnection_ = bus_.connect(QStringLiteral("portal"));
        ASSERT_TRUE(
            portalConnection_.registerVirtualObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal));
        ASSERT_TRUE(portalConnection_.registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
    }
    PrivateBus bus_;
    QDBusConnection portalConnection_{QString()};
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

TEST_F(PanelAppearanceTest, StatusItemRepaintsWithThePaletteWhenThereIsNoPortal) {
    const QPalette original = QApplication::palette();
    auto appearance = std::make_shared<PanelAppearance>(bus_.connect(QStringLiteral("app")));
    LinuxStatusItem item(appearance);
    item.button()->setImage(statusImage());
    item.button()->setToolTip("Nubrio · procesamiento en esta Mac");
    EXPECT_EQ(item.trayIcon().toolTip(), QStringLiteral("Nubrio · procesamiento en esta Mac"));
    EXPECT_TRUE(item.trayIcon().isVisible());

    const QIcon icon = item.trayIcon().icon();
    EXPECT_TRUE(icon.availableSizes().contains(QSize(22, 22)));
    expectStatusIcon(icon.pixmap(QSize(22, 22)).toImage(), original.color(QPalette::WindowText));
    const QImage sharp = icon.pixmap(QSize(22, 22), 2.0).toImage();
    EXPECT_EQ(sharp.size(), QSize(44, 44));
    expectStatusIcon(sharp, original.color(QPalette::WindowText));

    QPalette changed = original;
    changed.setColor(QPalette::WindowText, QColor(0xf0, 0xe0, 0x10));
    QApplication::setPalette(changed);
    QCoreApplication::processEvents();
    EXPECT_FALSE(appearance->colorScheme().has_value());
    expectStatusIcon(item.trayIcon().icon().pixmap(QSize(22, 22)).toImage(), QColor(0xf0, 0xe0, 0x10));
    QApplication::setPalette(original);
}

}  // namespace
}  // namespace nubrio::linux_platform
