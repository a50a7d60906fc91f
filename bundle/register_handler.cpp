// Used by `cmake --install`: makes the installed bundle the handler of nubrio: links, with the same
// desktop entry the program itself keeps up to date, without starting the program.
#include <cstdio>
#include <filesystem>

#include "platform/linux/scheme_handler_linux.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <bundle executable>\n", argv[0]);
        return 64;
    }
    nubrio::linux_platform::registerSchemeHandler(std::filesystem::absolute(argv[1]));
    return 0;
}
