// Requests one at a time on the real backend: the menu's commands and handed-over links against real
// alerts (QMessageBox), answered as a user would.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/linux/shell/alert.h"
#include "platform/linux/shell/main_queue.h"
#include "platform/linux/shell/request_queue.h"
#include "platform/linux/tray/status_bar.h"
#include "support/spin.h"

namespace nubrio::linux_platform {
namespace {

using namespace std::chrono_literals;
using nubrio::testing::spinFor;
using nubrio::testing::spinUntil;

int openAlerts() {
    int open = 0;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<QMessageBox*>(widget) && widget->isVisible()) ++open;
    return open;
}

QMessageBox* openAlert() {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) return box;
    return nullptr;
}

// The restart command as the core has it: a confirmation, then the restart on its second button.
class RequestQueueTest : public ::testing::Test {
protected:
    RequestQueueTest() {
        menu_ = bar_.makeMenu();
        menu_->addItem(bar_.makeMenuItem("Reiniciar procesamiento…", platform::Action{"restart", [this] {
                                                                           ++asked_;
                                                                           if (alerts_.runModal(kConfirm) == 1001)
                                                                               ++restarts_;
                                                                       }},
                                         ""));
        menu_->addItem(bar_.makeMenuItem("Acerca de Nubrio", platform::Action{"about", [this] { ++about_; }}, ""));
        peak_.setInterval(2);
        QObject::connect(&peak_, &QTimer::timeout, [this] { maxOpen_ = std::max(maxOpen_, openAlerts()); });
        peak_.start();
    }

    const platform::Alert kConfirm{"¿Reiniciar Nubrio?", "", {"Seguir procesando", "Reiniciar"}, 0};
    RequestQueue requests_;
    LinuxAlerts alerts_{{}, &requests_};
    LinuxStatusBar bar_{&requests_};
    std::shared_ptr<platform::Menu> menu_;
    QTimer peak_;
    int asked_ = 0, restarts_ = 0, about_ = 0, maxOpen_ = 0;
};

// Runs `act` once an alert is open, from inside its event loop, as a hand-over arriving then would.
void whenAlertShows(std::function<void(QMessageBox&)> act) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        if (QMessageBox* box = openAlert()) {
            poll->stop();
            poll->deleteLater();
            act(*box);
        }
    });
    poll->start(5);
}

void click(QMessageBox& box, const char* label) {
    for (QAbstractButton* button : box.buttons())
        if (button->text() == QString::fromUtf8(label)) return button->click();
    ADD_FAILURE() << "no button " << label;
}

// The launcher's restart clicked twice, and then a flood of it while the confirmation is open: one
// confirmation, answered once, one restart; another command waits for the alert to close.
TEST_F(RequestQueueTest, ARepeatedCommandJoinsTheOpenConfirmation) {
    int aboutWhileOpen = -1;
    std::size_t waitingWhileOpen = 0;
    whenAlertShows([&](QMessageBox& box) {
        for (int i = 0; i < 2000; ++i) EXPECT_TRUE(bar_.performMenuCommand("restart"));
        EXPECT_TRUE(bar_.performMenuCommand("about"));
        QTimer::singleShot(200, &box, [&] {
            aboutWhileOpen = about_;
            waitingWhileOpen = requests_.waiting();
            click(box, "Reiniciar");
        });
    });
    EXPECT_TRUE(bar_.performMenuCommand("restart"));
    EXPECT_TRUE(bar_.performMenuCommand("restart"));
    ASSERT_TRUE(spinUntil([&] { return about_ == 1; }, 30s));
    spinFor(200ms);
    EXPECT_EQ(aboutWhileOpen, 0) << "ran inside the open alert";
    EXPECT_EQ(waitingWhileOpen, 1u);
    EXPECT_EQ(asked_, 1);
    EXPECT_EQ(restarts_, 1);
    EXPECT_EQ(maxOpen_, 1);
    EXPECT_EQ(openAlerts(), 0);
}

// Links that arrive while an alert is open are kept, each distinct set once and only so many, and
// handed on after it closes.
TEST_F(RequestQueueTest, LinksWaitForTheAlertDeduplicatedAndBounded) {
    std::vector<std::string> delivered;
    std::size_t deliveredWhileOpen = 1, waitingWhileOpen = 0;
    whenAlertShows([&](QMessageBox& box) {
        for (int i = 0; i < 1000; ++i)
            EXPECT_TRUE(requests_.submit("links\nnubrio://connect", [&] { delivered.push_back("connect"); }));
        for (int i = 0; i < 100; ++i) {
            const std::string link = "nubrio://connect/" + std::to_string(i);
            requests_.submit("links\n" + link, [&delivered, link] { delivered.push_back(link); });
        }
        QTimer::singleShot(200, &box, [&] {
            deliveredWhileOpen = delivered.size();
            waitingWhileOpen = requests_.waiting();
            click(box, "Seguir procesando");
        });
    });
    EXPECT_TRUE(bar_.performMenuCommand("restart"));
    ASSERT_TRUE(spinUntil([&] { return delivered.size() == RequestQueue::kMaxWaiting; }, 30s));
    spinFor(200ms);
    EXPECT_EQ(deliveredWhileOpen, 0u);
    EXPECT_EQ(waitingWhileOpen, RequestQueue::kMaxWaiting);
    ASSERT_EQ(delivered.size(), RequestQueue::kMaxWaiting);
    EXPECT_EQ(delivered.front(), "connect");
    EXPECT_EQ(delivered[1], "nubrio://connect/0");
    EXPECT_EQ(restarts_, 0);
    EXPECT_EQ(maxOpen_, 1);
}

// A request that waits behind an open alert brings that alert to the front, whether it will run after
// the alert, joins the command the alert belongs to, or is a link: the user sees what is in the way.
TEST_F(RequestQueueTest, ARequestWaitingBehindAnAlertBringsItToTheFront) {
    int links = 0;
    const std::pair<const char*, std::function<bool()>> requests[] = {
        {"another command", [this] { return bar_.performMenuCommand("about"); }},
        {"the same command again", [this] { return bar_.performMenuCommand("restart"); }},
        {"a link", [&] { return requests_.submit("links\nnubrio://connect", [&] { ++links; }); }},
    };
    for (const auto& [what, request] : requests) {
        SCOPED_TRACE(what);
        // Another window took the focus while the alert was open (the user went on working).
        QWidget elsewhere;
        bool behind = false, stillBehind = false, inFront = false;
        whenAlertShows([&](QMessageBox& box) {
            elsewhere.show();
            elsewhere.activateWindow();
            behind = spinUntil([&] { return QApplication::activeWindow() == &elsewhere; }, 30s);
            spinFor(200ms);
            stillBehind = QApplication::activeWindow() == &elsewhere;
            EXPECT_TRUE(request());
            inFront = spinUntil([&] { return QApplication::activeWindow() == &box; }, 30s);
            click(box, "Seguir procesando");
        });
        EXPECT_TRUE(bar_.performMenuCommand("restart"));
        ASSERT_TRUE(spinUntil([&] { return openAlerts() == 0 && requests_.waiting() == 0; }, 30s));
        spinFor(100ms);
        EXPECT_TRUE(behind) << "the other window never had the focus";
        EXPECT_TRUE(stillBehind) << "the alert came forward by itself";
        EXPECT_TRUE(inFront);
    }
    EXPECT_EQ(about_, 1);
    EXPECT_EQ(links, 1);
    EXPECT_EQ(asked_, 3);
    EXPECT_EQ(restarts_, 0);
}

// Once the program has begun to end, nothing more is taken or run.
TEST_F(RequestQueueTest, NothingRunsOnceTerminationHasBegun) {
    bool terminating = false;
    RequestQueue requests([&] { return terminating; });
    int ran = 0;
    EXPECT_TRUE(requests.submit("a", [&] { ++ran; }));
    terminating = true;
    EXPECT_FALSE(requests.submit("b", [&] { ++ran; }));
    spinFor(100ms);
    EXPECT_EQ(ran, 0);
}

// The program's own work for an idle moment (the main queue's asyncWhenIdle) waits for the open alert
// like a request, is never dropped as surplus, and what the waiting link requests would deliver is
// known meanwhile (for a program started anew before they run).
TEST_F(RequestQueueTest, IdleWorkWaitsForTheAlertAndTheWaitingLinksAreKnown) {
    LinuxMainQueue queue(&requests_);
    int idle = 0, idleWhileOpen = -1;
    std::vector<std::string> linksWhileOpen;
    whenAlertShows([&](QMessageBox& box) {
        for (int i = 0; i < 40; ++i) {
            const std::string link = "nubrio://connect/" + std::to_string(i);
            requests_.submit("links\n" + link, [] {}, {link});
        }
        queue.asyncWhenIdle([&] { ++idle; });
        queue.asyncWhenIdle([&] { ++idle; });
        QTimer::singleShot(200, &box, [&] {
            idleWhileOpen = idle;
            linksWhileOpen = requests_.waitingLinks();
            click(box, "Seguir procesando");
        });
    });
    EXPECT_TRUE(bar_.performMenuCommand("restart"));
    ASSERT_TRUE(spinUntil([&] { return idle == 2; }, 30s));
    EXPECT_EQ(idleWhileOpen, 0);
    ASSERT_EQ(linksWhileOpen.size(), RequestQueue::kMaxWaiting);
    EXPECT_EQ(linksWhileOpen.front(), "nubrio://connect/0");
    EXPECT_TRUE(requests_.waitingLinks().empty());
}

}  // namespace
}  // namespace nubrio::linux_platform
