// Used by `cmake --install`: puts the installed bundle on the desktop (its application entry in the
// application menu, its icon, the nubrio: link handler) with the same code the program uses to keep
// them up to date, without starting the program. Fails, saying why, when that cannot be done; with
// --check it only says whether it could.
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "bundle/presentation.h"
#include "platform/linux/desktop/desktop_entry.h"
#include "platform/linux/desktop/launcher.h"

int main(int argc, char** argv) {
    const bool checkOnly = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    if (argc != 2 && !checkOnly) {
        std::fprintf(stderr, "usage: %s [--check] <bundle executable>\n", argv[0]);
        return 64;
    }
    const std::filesystem::path executable = std::filesystem::absolute(argv[argc - 1]);
    if (checkOnly) {
        const auto reason = nubrio::linux_platform::desktop_entry::unlaunchableReason(executable);
        if (reason) std::fprintf(stderr, "Nubrio: %s\n", reason->message.c_str());
        return reason ? 1 : 0;
    }
    // The icon is painted here; no display is needed for that.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication application(argc, argv);
    if (auto error = nubrio::linux_platform::launcher::registerFor(executable, nubrio::presentation())) {
        std::fprintf(stderr, "Nubrio: %s\n", error->message.c_str());
        return 1;
    }
    return 0;
}
