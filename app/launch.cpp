#include "app/build_config.h"
#include "app/check_mode.h"
#include "app/launch_flags.h"
#include "app/nubrio.h"
#include "app/statusbar/status_icon.h"
#include "app/texts.h"

namespace nubrio {

void Nubrio::applicationDidFinishLaunching() {
    // Another copy is running: open the editor from here and leave the running copy alone.
    std::vector<int> others = platform_.workspace.runningApplicationsWithBundleIdentifier(config::BundleIdentifier);
    const int self = platform_.process.processIdentifier();
    std::erase(others, self);
    if (!others.empty()) {
        // The check has nothing to check here, and nobody to see an editor or an alert.
        if (inCheckMode()) {
            platform_.process.writeStandardError("Another copy of Nubrio is running\n");
            platform_.process.exit(check_mode::FailureStatus);
            return;
        }
        openWeb();
        platform_.application.terminate();
        return;
    }

    platform_.fileManager.createDirectory(home, true);  // a failure shows later, where home is used

    item = platform_.statusBar.statusItemWithLength(platform::StatusBar::VariableLength);
    if (platform::StatusButton* button = item->button()) {
        button->setImage(statusIconImage());
        button->setToolTip(texts::toolTip(platform_.words));
    }
    item->setMenu(makeStatusMenu());
    // The check lasts a moment and answers for the bundle it was started from.
    if (!inCheckMode()) watchBundle();

    bool openEditor = true;
    if (inCheckMode())
        openEditor = false;
    else if (hasArgument(launch_flags::Background))
        openEditor = false;
    startWorker(openEditor);
}

}  // namespace nubrio
