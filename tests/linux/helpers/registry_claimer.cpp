// Claims the single-instance socket at the given path as a starting copy would, once a byte arrives on
// its standard input (so that a test can start several at the same moment), says what it found
// ("Holder", "OtherCopy" or "Unavailable") on standard output, and keeps its claim until its standard
// input closes.
#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

#include "platform/linux/single_instance/registry.h"

int main(int argc, char** argv) {
    if (argc != 2) return 64;
    QCoreApplication application(argc, argv);
    using nubrio::linux_platform::InstanceRegistry;
    InstanceRegistry registry{std::filesystem::path(argv[1])};
    char byte;
    if (read(STDIN_FILENO, &byte, 1) != 1) return 1;
    const char* names[] = {"Unclaimed", "Holder", "OtherCopy", "Unavailable"};
    std::puts(names[static_cast<int>(registry.claim())]);
    std::fflush(stdout);
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    return 0;
}
