// The bundle around the running program: Info.plist values through libplist, the resources folder.
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
#include "support/temp_home.h"

namespace {

namespace fs = std::filesystem;
using nubrio::linux_platform::LinuxBundle;
using Kind = nubrio::platform::InfoValue::Kind;

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
