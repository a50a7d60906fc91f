#pragma once
// Every service the core uses, handed to it as one struct of references.
#include "platform/alert.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/login_items.h"
#include "platform/main_queue.h"
#include "platform/process.h"
#include "platform/screen.h"
#include "platform/status_bar.h"
#include "platform/task.h"
#include "platform/url_session.h"
#include "platform/words.h"
#include "platform/workspace.h"

namespace nubrio::platform {

struct Platform {
    Application& application;
    MainQueue& mainQueue;
    Clock& clock;
    ProcessInfo& process;
    Bundle& bundle;
    FileManager& fileManager;
    TaskFactory& tasks;
    UrlSession& urlSession;
    StatusBar& statusBar;
    Alerts& alerts;
    Workspace& workspace;
    LoginItemService& loginItems;
    Screen& screen;
    const Words& words;
};

}  // namespace nubrio::platform
