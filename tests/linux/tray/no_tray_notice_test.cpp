// The no-tray notice against a notification service on a bus of the test's own: its log line says
// the user was told only once the service has taken the notification, and says why not otherwise.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/linux/base/program_log.h"
#include "platform/linux/tray/no_tray_notice.h"
#include "support/private_bus.h"
#include "support/spin.h"

namespace nubrio::linux_platform {
namespace {

using namespace std::chrono_literals;

// org.freedesktop.Notifications that answers Notify at once, with an error, or only when told to.
class FakeNotifications final : public QDBusVirtualObject {
public:
    enum class Answer { AtOnce, Error, Later };
    Answer answer = Answer::AtOnce;
    int calls = 0;
    std::optional<QDBusMessage> held;
    QDBusConnection* connection = nullptr;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        if (message.interface() != QLatin1String("org.freedesktop.Notifications") ||
            message.member() != QLatin1String("Notify"))
            return false;
        ++calls;
        switch (answer) {
            case Answer::AtOnce: bus.send(message.createReply(QVariant::fromValue(7u))); break;
            case Answer::Error:
                bus.send(message.createErrorReply(QStringLiteral("org.freedesktop.Notifications.Error"),
                                                  QStringLiteral("notifications are off")));
                break;
            case Answer::Later: held = message; break;
        }
        return true;
    }
};

// What the program's log got, when it goes to standard error (no journal runs here).
class LogCapture {
public:
    LogCapture() { ::testing::internal::CaptureStderr(); }
    std::string take() {
        program_log::flush(10s);
        return ::testing::internal::GetCapturedStderr();
    }
};

class NoTrayNoticeTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::filesystem::exists("/run/systemd/journal/socket")) GTEST_SKIP() << "the log goes to the journal here";
        if (!bus_.isRunning()) GTEST_SKIP() << "dbus-daemon could not be started";
        // Told once per login session: each case is a session of its own.
        if (const auto marker = no_tray_notice::markerPath()) std::filesystem::remove(*marker);
        service_ = bus_.connect(QStringLiteral("service"));
        ASSERT_TRUE(service_.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &notifications_));
        program_ = bus_.connect(QStringLiteral("program"));
    }
    bool serve() { return service_.registerService(QStringLiteral("org.freedesktop.Notifications")); }

    testing::PrivateBus bus_;
    QDBusConnection service_{QString()};
    QDBusConnection program_{QString()};
    FakeNotifications notifications_;
};

constexpr const char* kTold = "the user was told by a notification";
constexpr const char* kNotTold = "the desktop showed no notification";

TEST_F(NoTrayNoticeTest, TheUserIsToldOnlyOnceTheServiceHasTakenTheNotification) {
    ASSERT_TRUE(serve());
    notifications_.answer = FakeNotifications::Answer::Later;
    LogCapture log;
    no_tray_notice::tell(program_);
    ASSERT_TRUE(testing::spinUntil([&] { return notifications_.held.has_value(); }, 20s));
    testing::spinFor(200ms);
    const std::string before = log.take();
    EXPECT_EQ(before.find(kTold), std::string::npos) << "said before the service answered: " << before;

    LogCapture after;
    service_.send(notifications_.held->createReply(QVariant::fromValue(7u)));
    testing::spinFor(1s);
    const std::string lines = after.take();
    EXPECT_NE(lines.find(kTold), std::string::npos) << lines;
    EXPECT_EQ(notifications_.calls, 1);
}

TEST_F(NoTrayNoticeTest, AServiceThatFailsOrIsMissingIsLoggedAsNotTold) {
    const struct {
        const char* name;
        bool served;
        FakeNotifications::Answer answer;
        const char* reason;
    } table[] = {
        {"the service answers with an error", true, FakeNotifications::Answer::Error, "notifications are off"},
        {"no notification service", false, FakeNotifications::Answer::AtOnce, "org.freedesktop.Notifications"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.name);
        if (row.served) {
            ASSERT_TRUE(serve());
        } else {
            service_.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        }
        notifications_.answer = row.answer;
        LogCapture log;
        no_tray_notice::tell(program_);
        testing::spinFor(1s);
        const std::string lines = log.take();
        EXPECT_NE(lines.find(kNotTold), std::string::npos) << lines;
        EXPECT_NE(lines.find(row.reason), std::string::npos) << lines;
        EXPECT_EQ(lines.find(kTold), std::string::npos) << lines;
    }
}

}  // namespace
}  // namespace nubrio::linux_platform
