// Exec lines written for our own entries read back as the same command.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/desktop/desktop_entry.h"

namespace {

namespace entry = nubrio::linux_platform::desktop_entry;

TEST(DesktopEntryExec, QuotedPathsReadBackUnchanged) {
    const std::vector<std::string> paths = {
        "/opt/nubrio/Nubrio.app/Contents/MacOS/Nubrio",
        "/home/ana/Mis Apps/Nubrio.app/Contents/MacOS/Nubrio",
        "/home/ana/ñandú (copia)/Nubrio",
        "/tmp/a\"b$c`d\\e'f;g",
        "/tmp/100%/%u/Nubrio",
        "/tmp/tab\there",
    };
    for (const std::string& path : paths) {
        const std::string exec = entry::quoteExecArgument(path) + " %u";
        const entry::ParsedExec parsed = entry::parseExec(exec);
        EXPECT_FALSE(parsed.error) << exec << ": " << *parsed.error;
        EXPECT_EQ(parsed.argv, (std::vector<std::string>{path})) << exec;
    }
    EXPECT_EQ(entry::quoteExecArgument("/opt/nubrio/Nubrio"), "/opt/nubrio/Nubrio");  // quotes only when needed
}

// A path the desktop cannot start from is refused with the reason, and the advice names it in its number.
TEST(DesktopEntryExec, RefusalSaysWhatTheFolderNameMustNotHave) {
    const struct {
        std::string path;
        bool atLogin;
        std::string reason;
    } cases[] = {
        {"/home/ana/100%/Nubrio.app/Contents/MacOS/Nubrio", false,
         "tiene el carácter «%», y el escritorio no puede abrir un programa desde ahí. Mové Nubrio.app a una "
         "carpeta cuyo nombre no lo tenga y volvé a intentarlo."},
        {"/home/ana/a\\b/Nubrio.app/Contents/MacOS/Nubrio", false, "tiene el carácter «\\», "},
        {"/home/ana/x\x01y/Nubrio.app/Contents/MacOS/Nubrio", false, "tiene un carácter de control, "},
        {"/home/ana/l'app/Nubrio.app/Contents/MacOS/Nubrio", true, "tiene el carácter «'», "},
        {"/home/ana/caf\xe9/Nubrio.app/Contents/MacOS/Nubrio", false,
         "tiene bytes que no son texto UTF-8, y el escritorio no puede abrir un programa desde ahí. Mové "
         "Nubrio.app a una carpeta cuyo nombre no los tenga y volvé a intentarlo."},
    };
    for (const auto& c : cases) {
        const auto refusal = entry::unlaunchableReason(c.path, c.atLogin);
        ASSERT_TRUE(refusal) << c.path;
        EXPECT_NE(refusal->message.find(c.reason), std::string::npos) << refusal->message;
    }
    EXPECT_FALSE(entry::unlaunchableReason("/home/ana/l'app/Nubrio.app/Contents/MacOS/Nubrio")) << "only at login";
}

}  // namespace
