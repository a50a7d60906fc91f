#pragma once
// Qt's start for this process: whether there is a display, the offscreen platform where none is
// needed or there is none, and what Qt may say on standard error meanwhile.
#include <QApplication>

#include <memory>
#include <string>
#include <vector>

#include "platform/status_bar.h"

namespace nubrio::linux_platform {

struct QtStartOptions {
    bool checkMode = false;
    std::string checkFlag;       // named in the line that says a display is needed
    int checkFailureStatus = 0;  // a check whose Qt fails to start ends with it
    platform::DrawingHandler iconGlyph;  // the drawing of the windows' icon
};

class QtStart {
public:
    // Starts the QApplication. A check, and a process that finds no display, run offscreen: the
    // check, a hand-over and a refusal show nothing. The choice goes on Qt's command line, not in the
    // environment, which the worker inherits as it is.
    QtStart(int argc, char** argv, QtStartOptions options);
    QtStart(const QtStart&) = delete;
    QtStart& operator=(const QtStart&) = delete;

    // DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM is set.
    bool displayGiven() const { return displayGiven_; }

    // Says in one line why the program cannot run without a display (naming the check, which can),
    // and ends the process with status 1.
    [[noreturn]] void failWithoutDisplay(const std::string& why) const;

private:
    std::vector<char*> arguments_;
    int argumentCount_ = 0;
    bool displayGiven_ = false;
    std::unique_ptr<QApplication> application_;
};

}  // namespace nubrio::linux_platform
