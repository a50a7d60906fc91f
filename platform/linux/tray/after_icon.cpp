#include "platform/linux/tray/after_icon.h"

#include <QCoreApplication>
#include <QTimer>

namespace nubrio::linux_platform {

void AfterIcon::add(std::function<void()> chore) {
    if (itemMade_)
        schedule(std::move(chore));
    else
        waiting_.push_back(std::move(chore));
}

void AfterIcon::itemMade() {
    if (itemMade_) return;
    itemMade_ = true;
    for (std::function<void()>& chore : waiting_) schedule(std::move(chore));
    waiting_.clear();
}

void AfterIcon::schedule(std::function<void()> chore) {
    QTimer::singleShot(kDelayMs, QCoreApplication::instance(), std::move(chore));
}

}  // namespace nubrio::linux_platform
