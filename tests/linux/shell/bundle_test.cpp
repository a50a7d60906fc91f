// The bundle around the running program: Info.plist values through libplist, the resources folder;
// what became of its program file, and the watch on its folders.
#include <ostream>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/build_config.h"
#include "platform/linux/shell/bundle.h"
#include "support/spin.h"
#include "support/temp_home.h"

namespace {

namespace fs = std::filesystem;
using nubrio::linux_platform::LinuxBundle;
using Kind = nubrio::platform::InfoValue::Kind;
using nubrio::platform::ExecutableOnDisk;
using namespace std::chrono_literals;

const char* const kHeader =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

std::string plist(const std::string& body) { return std::string(kHeader) + "<plist version=\"1.0\">" + body + "</plist>\n"; }

class BundleTest : public ::testing::Test {
protected:
    // A bundle laid out like the shipped one, under the temporary home.
    fs::path makeBundle(const std::optional<std::string>& infoPlist, bool withResources = true) {
        const fs::path app = home.path() / "Applications/Nubrio.app";
        fs::create_directories(app / "Contents/MacOS");
        std::ofstream(app / "Contents/MacOS/Nubrio") << "";
        if (withResources) fs::create_directories(app / "Contents/Resources");
        if (infoPlist) std::ofstream(app / "Contents/Info.plist", std::ios::binary) << *infoPlist;
        return app;
    }

    nubrio::testing::TempHome home;
};

struct InfoCase {
    const char* name;
    std::optional<std::string> file;  // none: no Info.plist at all
    const char* key;
    Kind kind;
    const char* text;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const InfoCase& c, std::ostream* out) { *out << c.name; }

class BundleInfoValueTest : public BundleTest, public ::testing::WithParamInterface<InfoCase> {};

TEST_P(BundleInfoValueTest, ReadsTheValueOrNoneWithoutCrashing) {
    const InfoCase& c = GetParam();
    const fs::path app = makeBundle(c.file);
    LinuxBundle bundle(app / "Contents/MacOS/Nubrio");

    const nubrio::platform::InfoValue value = bundle.infoValue(c.key);

    EXPECT_EQ(value.kind, c.kind);
    EXPECT_EQ(value.text, c.text);
}

const std::string kDictionary = plist(
    "<dict><key>CFBundleShortVersionString</key><string>2.4.1</string>"
    "<key>Number</key><integer>7</integer><key>Flag</key><true/>"
    "<key>List</key><array><string>nubrio</string></array>"
    "<key>Accented</key><string>Sesión · Nubrio…</string></dict>");

INSTANTIATE_TEST_SUITE_P(
    Cases, BundleInfoValueTest,
    ::testing::Values(
        InfoCase{"String", kDictionary, "CFBundleShortVersionString", Kind::String, "2.4.1"},
        InfoCase{"Utf8String", kDictionary, "Accented", Kind::String, "Sesión · Nubrio…"},
        InfoCase{"MissingKey", kDictionary, "CFBundleVersion", Kind::None, ""},
        InfoCase{"KeyIsCaseSensitive", kDictionary, "cfbundleshortversionstring", Kind::None, ""},
        InfoCase{"Integer", kDictionary, "Number", Kind::Other, ""},
        InfoCase{"Boolean", kDictionary, "Flag", Kind::Other, ""},
        InfoCase{"Array", kDictionary, "List", Kind::Other, ""},
        InfoCase{"NoFile", std::nullopt, "CFBundleShortVersionString", Kind::None, ""},
        InfoCase{"EmptyFile", std::string(), "CFBundleShortVersionString", Kind::None, ""},
        InfoCase{"Garbage", std::string("\x01\xff not a property list \x00 at all", 31), "CFBundleShortVersionString",
                 Kind::None, ""},
        InfoCase{"Truncated", kDictionary.substr(0, kDictionary.size() / 2), "CFBundleShortVersionString", Kind::None,
                 ""},
        InfoCase{"UnclosedTags", std::string(kHeader) + "<plist><dict><key>CFBundleShortVersionString</key><string>1",
                 "CFBundleShortVersionString", Kind::None, ""},
        InfoCase{"BinaryMagicOnly", std::string("bplist00"), "CFBundleShortVersionString", Kind::None, ""},
        InfoCase{"RootIsNotADictionary", plist("<array><string>CFBundleShortVersionString</string></array>"),
                 "CFBundleShortVersionString", Kind::None, ""}),
    [](const ::testing::TestParamInfo<InfoCase>& info) { return info.param.name; });

TEST_F(BundleTest, UnreadableInfoPlistGivesNone) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
    const fs::path app = makeBundle(kDictionary);
    fs::permissions(app / "Contents/Info.plist", fs::perms::none);

    EXPECT_EQ(LinuxBundle(app / "Contents/MacOS/Nubrio").infoValue("CFBundleShortVersionString").kind, Kind::None);
}

TEST_F(BundleTest, PathsAreThoseOfTheAppFolder) {
    const fs::path app = makeBundle(kDictionary);
    LinuxBundle bundle(app / "Contents/MacOS/Nubrio");

    EXPECT_EQ(bundle.bundlePath(), app);
    EXPECT_EQ(bundle.resourcesPath(), std::optional<fs::path>(app / "Contents/Resources"));
}

TEST_F(BundleTest, NoResourcesFolderGivesNone) {
    const fs::path app = makeBundle(kDictionary, /*withResources=*/false);
    EXPECT_EQ(LinuxBundle(app / "Contents/MacOS/Nubrio").resourcesPath(), std::nullopt);

    // A file of that name is not a folder either.
    std::ofstream(app / "Contents/Resources") << "";
    EXPECT_EQ(LinuxBundle(app / "Contents/MacOS/Nubrio").resourcesPath(), std::nullopt);
}

// A new file renamed over the program, as dpkg installs one, is another program; so is one deleted
// and made anew. A touch, a new mode or a rewrite of the file itself is still the same file.
TEST_F(BundleTest, TheProgramFileIsTheSameUntilAnotherTakesItsPlace) {
    const fs::path app = makeBundle(kDictionary);
    const fs::path program = app / "Contents/MacOS/Nubrio";
    LinuxBundle bundle(program);
    // Held open as a running program holds its file, so no new file can be given its inode.
    const std::ifstream running(program);
    EXPECT_EQ(bundle.executableOnDisk(), ExecutableOnDisk::Same);

    fs::last_write_time(program, fs::file_time_type::clock::now());
    fs::permissions(program, fs::perms::owner_all);
    std::ofstream(program, std::ios::app) << "more";
    EXPECT_EQ(bundle.executableOnDisk(), ExecutableOnDisk::Same);

    std::ofstream(program.string() + ".dpkg-new") << "new";
    fs::rename(program.string() + ".dpkg-new", program);
    EXPECT_EQ(bundle.executableOnDisk(), ExecutableOnDisk::Replaced);

    fs::remove(program);
    EXPECT_EQ(bundle.executableOnDisk(), ExecutableOnDisk::Missing);
    fs::remove_all(app);
    EXPECT_EQ(bundle.executableOnDisk(), ExecutableOnDisk::Missing) << "nor its folders";

    // Made anew after it was gone: not the file the program started from.
    makeBundle(kDictionary);
    EXPECT_EQ(bundle.executableOnDisk(), ExecutableOnDisk::Replaced);
}

// One report for a burst of changes anywhere in the bundle, once it has been quiet; none for reading
// its files; one for its removal.
TEST_F(BundleTest, TheWatchReportsABurstOnceWhenItIsOver) {
    const fs::path app = makeBundle(kDictionary);
    fs::create_directories(app / "Contents/Resources/service/NubrioService");
    LinuxBundle bundle(app / "Contents/MacOS/Nubrio");
    int reports = 0;
    bundle.watchForChanges([&] { ++reports; });

    EXPECT_EQ(bundle.infoValue("CFBundleShortVersionString").text, "2.4.1");
    nubrio::testing::spinFor(1500ms);
    EXPECT_EQ(reports, 0) << "reading is no change";

    // An installer's burst: files written beside the old ones, then renamed over them.
    const fs::path worker = app / "Contents/Resources/service/NubrioService/NubrioService";
    for (const fs::path& file : {app / "Contents/Info.plist", app / "Contents/MacOS/Nubrio", worker}) {
        std::ofstream(file.string() + ".dpkg-new") << "new";
        nubrio::testing::spinFor(200ms);
    }
    for (const fs::path& file : {app / "Contents/Info.plist", app / "Contents/MacOS/Nubrio", worker}) {
        fs::rename(file.string() + ".dpkg-new", file);
        nubrio::testing::spinFor(200ms);
    }
    EXPECT_EQ(reports, 0) << "not while the files are still changing";
    EXPECT_TRUE(nubrio::testing::spinUntil([&] { return reports > 0; }, 10s));
    nubrio::testing::spinFor(1500ms);
    EXPECT_EQ(reports, 1);

    fs::remove_all(app);
    EXPECT_TRUE(nubrio::testing::spinUntil([&] { return reports > 1; }, 10s));
    nubrio::testing::spinFor(1500ms);
    EXPECT_EQ(reports, 2);
}

TEST(AssembledBundleTest, VersionComesFromTheBuiltInfoPlist) {
    LinuxBundle bundle(fs::path(NUBRIO_BUNDLE_PATH) / "Contents/MacOS/Nubrio");

    const nubrio::platform::InfoValue version = bundle.infoValue("CFBundleShortVersionString");
    EXPECT_EQ(version.kind, Kind::String);
    EXPECT_EQ(version.text, nubrio::config::Version);
    EXPECT_EQ(bundle.infoValue("CFBundleIdentifier").text, nubrio::config::BundleIdentifier);
    ASSERT_TRUE(bundle.resourcesPath().has_value());
    EXPECT_TRUE(fs::is_directory(*bundle.resourcesPath() / "service/NubrioService"));
}

TEST(AssembledBundleTest, RunningExecutableIsThisTestProgram) {
    std::string failure;
    const std::optional<fs::path> self = LinuxBundle::runningExecutable(failure);
    ASSERT_TRUE(self.has_value()) << failure;
    EXPECT_TRUE(self->is_absolute());
    EXPECT_EQ(self->filename(), "linux_bundle_test");
}

TEST(AssembledBundleTest, OwnerIsThatOfTheProgramFile) {
    std::string failure;
    const LinuxBundle bundle(*LinuxBundle::runningExecutable(failure));
    struct stat info {};
    ASSERT_EQ(::stat("/proc/self/exe", &info), 0);
    EXPECT_EQ(bundle.owner(), info.st_uid);
    EXPECT_EQ(LinuxBundle("/nonexistent/Nubrio.app/Contents/MacOS/Nubrio").owner(), static_cast<uid_t>(-1));
}

}  // namespace
