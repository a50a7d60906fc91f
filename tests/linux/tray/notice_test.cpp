// The notifications that stand in where no tray shows the status item, sent to a fake notification
// server on a private session bus: the no-tray notice once per login session (a marker in the runtime
// folder), and the state of start at login, each replacing the one before.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/tray/login_notice.h"
#include "platform/linux/tray/no_tray_notice.h"
#include "support/private_bus.h"
#include "support/spin.h"

namespace nubrio::linux_platform {
namespace {

using namespace std::chrono_literals;
using testing::PrivateBus;
using testing::spinFor;
using testing::spinUntil;

struct Shown {
    QString appName;
    uint replaces;
    QString summary;
    QString body;
    QVariantMap hints;
};

// org.freedesktop.Notifications: records each Notify and answers with the next id.
class FakeNotifications final : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != QLatin1String("Notify")) return false;
        const QList<QVariant> a = message.arguments();
        if (a.size() != 8) return false;
        shown.push_back({a[0].toString(), a[1].toUInt(), a[3].toString(), a[4].toString(), qdbus_cast<QVariantMap>(a[6])});
        connection.send(message.createReply(QVariant::fromValue(uint(shown.size()))));
        return true;
    }
    std::vector<Shown> shown;
};

// The fake server on a private bus, and a connection for the program's side.
class NotificationServer {
public:
    NotificationServer() : server_(bus_.connect(QStringLiteral("server"))), client_(bus_.connect(QStringLiteral("client"))) {
        server_.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &fake_);
        running_ = bus_.isRunning() && server_.registerService(QStringLiteral("org.freedesktop.Notifications"));
    }
    bool isRunning() const { return running_; }
    QDBusConnection client() const { return client_; }
    const std::vector<Shown>& shown() const { return fake_.shown; }
    bool countReaches(std::size_t count) { return spinUntil([&] { return fake_.shown.size() >= count; }, 15s); }

private:
    PrivateBus bus_;
    FakeNotifications fake_;
    QDBusConnection server_;
    QDBusConnection client_;
    bool running_ = false;
};

// XDG_RUNTIME_DIR pointed at a folder of the test's own, or unset, for the life of the object.
class RuntimeDir {
public:
    explicit RuntimeDir(bool present) {
        if (const char* value = std::getenv("XDG_RUNTIME_DIR")) saved_ = value;
        if (present)
            setenv("XDG_RUNTIME_DIR", folder_.path().toUtf8().constData(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }
    ~RuntimeDir() {
        if (saved_)
            setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }

private:
    QTemporaryDir folder_;
    std::optional<std::string> saved_;
};

TEST(NoTrayNotice, IsSentOncePerLoginSession) {
    NotificationServer server;
    ASSERT_TRUE(server.isRunning());
    RuntimeDir runtime(true);
    const std::optional<std::filesystem::path> marker = no_tray_notice::markerPath();
    ASSERT_TRUE(marker);

    no_tray_notice::tell(server.client());
    ASSERT_TRUE(server.countReaches(1));
    const Shown& first = server.shown()[0];
    EXPECT_EQ(first.appName, QStringLiteral("Nubrio"));
    EXPECT_EQ(first.summary, QString::fromUtf8(no_tray_notice::kSummary));
    EXPECT_EQ(first.body, QString::fromUtf8(no_tray_notice::kBody));
    EXPECT_EQ(first.hints.value(QStringLiteral("desktop-entry")).toString(), QStringLiteral("app.nubrio.desktop"));
    EXPECT_TRUE(std::filesystem::exists(*marker));

    // Later starts of the same session.
    no_tray_notice::tell(server.client());
    no_tray_notice::tell(server.client());
    spinFor(500ms);
    EXPECT_EQ(server.shown().size(), 1u);

    // The next login has a new runtime folder.
    std::filesystem::remove(*marker);
    no_tray_notice::tell(server.client());
    EXPECT_TRUE(server.countReaches(2));
}

TEST(NoTrayNotice, WithoutARuntimeFolderIsSentAtEveryStart) {
    NotificationServer server;
    ASSERT_TRUE(server.isRunning());
    RuntimeDir runtime(false);
    EXPECT_EQ(no_tray_notice::markerPath(), std::nullopt);
    no_tray_notice::tell(server.client());
    no_tray_notice::tell(server.client());
    EXPECT_TRUE(server.countReaches(2));
}

TEST(NoTrayNotice, ANoticeTheDesktopDidNotShowIsTriedAgainByTheNextStart) {
    PrivateBus bus;  // with no notification server
    ASSERT_TRUE(bus.isRunning());
    RuntimeDir runtime(true);
    const std::optional<std::filesystem::path> marker = no_tray_notice::markerPath();
    ASSERT_TRUE(marker);
    no_tray_notice::tell(bus.connect(QStringLiteral("client")));
    EXPECT_TRUE(spinUntil([&] { return !std::filesystem::exists(*marker); }, 15s));
}

// GNOME shows about one line of a body, in its message list some 40 characters: the instruction is
// whole in that.
TEST(NoTrayNotice, TheInstructionComesFirst) {
    const QString body = QString::fromUtf8(no_tray_notice::kBody);
    const qsizetype at = body.indexOf(QStringLiteral("clic derecho en Nubrio"));
    ASSERT_GE(at, 0);
    EXPECT_LE(at + 22, 40) << body.toStdString();
}

TEST(LoginNotice, SaysTheStateAndReplacesTheLastOne) {
    NotificationServer server;
    ASSERT_TRUE(server.isRunning());
    LoginNotice notice;
    // Each one replaces the last the server answered for, so each waits for that answer.
    notice.tell(true, server.client());
    ASSERT_TRUE(server.countReaches(1));
    ASSERT_TRUE(spinUntil([&] { return notice.lastId() == 1; }, 15s));
    notice.tell(false, server.client());
    ASSERT_TRUE(server.countReaches(2));
    ASSERT_TRUE(spinUntil([&] { return notice.lastId() == 2; }, 15s));
    notice.tell(false, server.client());
    ASSERT_TRUE(server.countReaches(3));

    const std::vector<Shown>& shown = server.shown();
    EXPECT_EQ(shown[0].body, QStringLiteral("Se abrirá al iniciar sesión."));
    EXPECT_EQ(shown[1].body, QStringLiteral("No se abrirá al iniciar sesión."));
    EXPECT_EQ(shown[2].body, shown[1].body);
    for (const Shown& one : shown) EXPECT_EQ(one.summary, QStringLiteral("Nubrio"));
    EXPECT_EQ(shown[0].replaces, 0u);
    EXPECT_EQ(shown[1].replaces, 1u) << "the server's id of the first";
    EXPECT_EQ(shown[2].replaces, 2u);
    EXPECT_EQ(shown[1].hints.value(QStringLiteral("desktop-entry")).toString(), QStringLiteral("app.nubrio.desktop"));
}

}  // namespace
}  // namespace nubrio::linux_platform
