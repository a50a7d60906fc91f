// Used by `cmake --install`: puts the installed bundle on the desktop (its application entry in the
// application menu, its icon, the nubrio: link handler) with the same code the program uses to keep
// them up to date, without starting the program. Fails, saying why, when that cannot be done; with
// --check it only says whether it could. For a system prefix, --system-files writes the entry and
// the icons into a data folder (<prefix>/share) instead, touching nothing of the user's.
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "bundle/presentation.h"
#include "platform/linux/desktop/desktop_entry.h"
#include "platform/linux/desktop/launcher.h"

namespace {

int usage(const char* program) {
    std::fprintf(stderr, "usage: %s [--check] <bundle executable>\n       %s --system-files <data folder> <bundle executable>\n",
                 program, program);
    return 64;
}

int report(const std::optional<nubrio::platform::Error>& error) {
    if (error) std::fprintf(stderr, "Nubrio: %s\n", error->message.c_str());
    return error ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool checkOnly = argc == 3 && std::strcmp(argv[1], "--check") == 0;
    const bool systemFiles = argc == 4 && std::strcmp(argv[1], "--system-files") == 0;
    if (argc != 2 && !checkOnly && !systemFiles) return usage(argv[0]);
    // The executable where it will run: with a system prefix and DESTDIR it is not there yet.
    const std::filesystem::path executable = std::filesystem::absolute(argv[argc - 1]);
    if (checkOnly) return report(nubrio::linux_platform::desktop_entry::unlaunchableReason(executable));
    // The icon is painted here; no display is needed for that.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication application(argc, argv);
    if (systemFiles)
        return report(nubrio::linux_platform::launcher::writeSystemFiles(executable, argv[2], nubrio::presentation()));
    return report(nubrio::linux_platform::launcher::registerFor(executable, nubrio::presentation()));
}
