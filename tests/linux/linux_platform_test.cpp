// The Linux platform as main.cpp wires it: hand-overs from other copies reach the delegate through the
// one-request-at-a-time queue, with the keys the platform itself gives them.
#include <sys/stat.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/linux_platform.h"
#include "support/spin.h"
#include "support/temp_home.h"

namespace nubrio::linux_platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Links = std::vector<std::string>;

constexpr auto kDeadline = 30s;

class RecordingDelegate final : public platform::ApplicationDelegate {
public:
    void applicationDidFinishLaunching() override {
        if (launched) launched();
    }
    void applicationOpenUrls(const std::vector<std::string>& urls) override { opened.push_back(urls); }
    void applicationWillTerminate() override {}

    std::function<void()> launched;
    std::vector<Links> opened;
};

// What a second copy does with its links: finds the holder and hands them over, from a thread of its
// own, as from another process, while the main thread's event loop serves the socket.
std::future<bool> handOverFromAnotherCopy(const fs::path& socket, std::vector<Links> messages) {
    return std::async(std::launch::async, [socket, messages] {
        InstanceRegistry copy(socket);
        if (copy.claim() != InstanceRegistry::State::OtherCopy) return false;
        for (const Links& links : messages)
            if (!copy.handOver({links, {}})) return false;
        return true;
    });
}

bool isReady(const std::future<bool>& future) { return future.wait_for(0s) == std::future_status::ready; }

class LinuxPlatformTest : public ::testing::Test {
protected:
    LinuxPlatformTest() {
        fs::create_directories(socket.parent_path());
        ::chmod(socket.parent_path().c_str(), 0700);
        auto registry = std::make_unique<InstanceRegistry>(socket);
        holder = registry->claim() == InstanceRegistry::State::Holder;
        backend = std::make_unique<LinuxPlatform>(
            1, arguments, std::make_unique<LinuxBundle>(fs::path(NUBRIO_BUNDLE_PATH) / "Contents/MacOS/Nubrio"),
            std::move(registry), StopSequence{15, 9, 30, 100000});
        backend->application().setDelegate(delegate);
        backend->application().setActivationPolicy(platform::ActivationPolicy::Accessory);
    }

    testing::TempHome home;
    fs::path socket = home.path() / "run/app.nubrio.desktop";
    char program[7] = "Nubrio";
    char* arguments[2] = {program, nullptr};
    bool holder = false;
    std::unique_ptr<LinuxPlatform> backend;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

// A second copy started twice with the same link while an alert is open (the user has not answered
// it yet): the link waits for the alert and is acted on once.
TEST_F(LinuxPlatformTest, TheSameLinksHandedOverWhileAnAlertIsOpenAreOneRequest) {
    ASSERT_TRUE(holder);
    const Links links = {"nubrio://connect", "nubrio://connect?desde=lanzador"};
    const Links later = {"nubrio://connect?despues=1"};
    bool handedOver = false, openedDuringAlert = true, laterHandedOver = false;
    std::future<bool> copies, laterCopy;

    delegate->launched = [&] {
        // Once the alert shows, two copies hand over the same links; the alert closes once both are
        // taken.
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box || !box->isVisible()) return;
            if (!copies.valid()) copies = handOverFromAnotherCopy(socket, {links, links});
            if (!isReady(copies)) return;
            poll.stop();
            handedOver = copies.get();
            openedDuringAlert = !delegate->opened.empty();
            box->close();
        });
        poll.start(10);
        backend->platform().alerts.runModal({"Nubrio 1.0.0", "Una alerta abierta.", {}});
    };

    // Then other links: they wait behind whatever the first ones left in the queue, so once they
    // have arrived, nothing of those is still to come.
    QTimer after;
    QObject::connect(&after, &QTimer::timeout, [&] {
        if (!laterCopy.valid()) {
            if (delegate->opened.empty()) return;
            laterCopy = handOverFromAnotherCopy(socket, {later});
        }
        if (!isReady(laterCopy) || delegate->opened.back() != later) return;
        after.stop();
        laterHandedOver = laterCopy.get();
        backend->application().terminate();
    });
    after.start(10);
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] {
        ADD_FAILURE() << "the links did not arrive within " << kDeadline.count() << " s";
        if (QWidget* box = QApplication::activeModalWidget()) box->close();
        backend->application().terminate();
    });
    deadline.start(kDeadline);
    backend->application().run();

    EXPECT_TRUE(handedOver) << "the holder did not take both hand-overs";
    EXPECT_TRUE(laterHandedOver);
    EXPECT_FALSE(openedDuringAlert) << "links were acted on inside the open alert";
    EXPECT_EQ(delegate->opened, (std::vector<Links>{links, later}));
}

}  // namespace
}  // namespace nubrio::linux_platform
