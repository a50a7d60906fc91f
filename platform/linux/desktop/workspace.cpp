#include "platform/linux/desktop/workspace.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <cerrno>
#include <unistd.h>

#include "app/build_config.h"
#include "platform/linux/base/glib_owner.h"
#include "platform/linux/base/program_log.h"
#include "platform/linux/base/system_error.h"
#include "platform/linux/desktop/app_lookup.h"
#include "platform/linux/desktop/desktop_entry.h"
#include "platform/linux/desktop/gio_library.h"

namespace nubrio::linux_platform {

namespace {

struct KnownBrowser {
    const char* desktopId;
    const char* bundleIdentifier;
};

// For each browser the distribution's packages come before its Flatpak and Snap.
constexpr KnownBrowser kKnownBrowsers[] = {
    {"google-chrome.desktop", "com.google.Chrome"},
    {"com.google.Chrome.desktop", "com.google.Chrome"},
    {"microsoft-edge.desktop", "com.microsoft.edgemac"},
    {"com.microsoft.Edge.desktop", "com.microsoft.edgemac"},
    {"brave-browser.desktop", "com.brave.Browser"},
    {"com.brave.Browser.desktop", "com.brave.Browser"},
    {"vivaldi-stable.desktop", "com.vivaldi.Vivaldi"},
    {"com.vivaldi.Vivaldi.desktop", "com.vivaldi.Vivaldi"},
    {"chromium.desktop", "org.chromium.Chromium"},
    {"chromium-browser.desktop", "org.chromium.Chromium"},
    {"org.chromium.Chromium.desktop", "org.chromium.Chromium"},
    {"chromium_chromium.desktop", "org.chromium.Chromium"},
    {"firefox.desktop", "org.mozilla.firefox"},
    {"firefox-esr.desktop", "org.mozilla.firefox"},
    {"org.mozilla.firefox.desktop", "org.mozilla.firefox"},
};

using DesktopAppInfo = GObjectPtr<GDesktopAppInfo>;

void becomeSessionLeader(gpointer) {
    setsid();
}

std::optional<platform::Error> spawnDetached(const std::vector<std::string>& argv, const std::string& folder) {
    std::vector<char*> arguments;
    for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    GErrorOut error;
    // Without G_SPAWN_DO_NOT_REAP_CHILD GLib forks twice and reaps the middle process before it
    // returns: the application is nobody's child here and cannot linger as a zombie. An exec that
    // fails still comes back here as an error.
    if (!g_spawn_async(folder.empty() ? nullptr : folder.c_str(), arguments.data(), nullptr, G_SPAWN_SEARCH_PATH,
                       becomeSessionLeader, nullptr, nullptr, error))
        return gioError(error.get());
    return std::nullopt;
}

std::optional<platform::Error> launch(const std::string& desktopId, const std::vector<std::string>& arguments) {
    GErrorOut failure;
    const gio::Library* gio = gio::library(failure);
    if (!gio) return gioError(failure.get());
    // GIO returns no entry whose Exec or TryExec program is missing, or that is Hidden.
    std::string why;
    DesktopAppInfo entry = app_lookup::installedEntry(desktopId, &why);
    if (!entry) return why.empty() ? systemError(ENOENT, desktopId) : platform::Error{"POSIX", ETIMEDOUT, why};
    const char* exec = gio->app_info_get_commandline(gio::appInfo(entry.get()));
    GText icon{gio->desktop_app_info_get_string(entry.get(), "Icon")};
    GText folder{gio->desktop_app_info_get_string(entry.get(), "Path")};
    const char* name = gio->app_info_get_name(gio::appInfo(entry.get()));
    const char* location = gio->desktop_app_info_get_filename(entry.get());
    desktop_entry::ParsedExec command = desktop_entry::parseExec(
        exec ? exec : "", {name ? name : "", icon ? icon.get() : "", location ? location : ""});
    if (command.error) return platform::Error{"DesktopEntry", EINVAL, desktopId + ": " + *command.error};
    // After the whole command, not where its %U was: wrappers such as `flatpak run … @@ %F @@` would
    // take anything between their markers for files to forward.
    command.argv.insert(command.argv.end(), arguments.begin(), arguments.end());
    return spawnDetached(command.argv, folder ? folder.get() : "");
}

void deliverLater(platform::Workspace::OpenCompletion completion, std::optional<platform::Error> error) {
    if (!completion) return;
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) {
        completion(std::move(error));
        return;
    }
    QMetaObject::invokeMethod(
        application, [completion = std::move(completion), error = std::move(error)] { completion(error); },
        Qt::QueuedConnection);
}

}  // namespace

LinuxWorkspace::LinuxWorkspace(std::function<std::vector<int>()> runningInstances)
    : runningInstances_(std::move(runningInstances)) {}

std::vector<int> LinuxWorkspace::runningApplicationsWithBundleIdentifier(const std::string& bundleIdentifier) {
    if (bundleIdentifier != config::BundleIdentifier || !runningInstances_) return {};
    return runningInstances_();
}

std::optional<platform::ApplicationRef> LinuxWorkspace::urlForApplicationToOpenUrl(const std::string& url) {
    const char* scheme = g_uri_peek_scheme(url.c_str());
    if (!scheme) return std::nullopt;
    const std::optional<std::string> id = app_lookup::defaultForScheme(scheme);
    if (!id) return std::nullopt;
    return platform::ApplicationRef{*id};
}

std::optional<std::string> LinuxWorkspace::bundleIdentifierOfApplication(const platform::ApplicationRef& application) {
    for (const KnownBrowser& browser : kKnownBrowsers)
        if (application.id == browser.desktopId) return browser.bundleIdentifier;
    return std::nullopt;
}

std::optional<platform::ApplicationRef> LinuxWorkspace::urlForApplicationWithBundleIdentifier(
    const std::string& bundleIdentifier) {
    for (const KnownBrowser& browser : kKnownBrowsers)
        if (bundleIdentifier == browser.bundleIdentifier && app_lookup::installedEntry(browser.desktopId))
            return platform::ApplicationRef{browser.desktopId};
    return std::nullopt;
}

void LinuxWorkspace::openApplication(const platform::ApplicationRef& application,
                                     const platform::OpenConfiguration& configuration, OpenCompletion completion) {
    // Every launch starts a new process, so createsNewApplicationInstance needs nothing more.
    std::optional<platform::Error> error = launch(application.id, configuration.arguments);
    if (error) program_log::write("cannot start " + application.id + ": " + error->message);
    deliverLater(std::move(completion), std::move(error));
}

void LinuxWorkspace::openUrlsWithApplication(const std::vector<std::string>& urls,
                                             const platform::ApplicationRef& application,
                                             const platform::OpenConfiguration&) {
    if (std::optional<platform::Error> error = app_lookup::launchUris(application.id, urls))
        program_log::write("cannot open pages with " + application.id + ": " + error->message);
}

bool LinuxWorkspace::openUrl(const std::string& url) {
    std::optional<platform::Error> error = app_lookup::launchDefaultForUri(url);
    if (!error) return true;
    program_log::write("cannot open " + url + ": " + error->message);
    return false;
}

bool LinuxWorkspace::openFolder(const std::filesystem::path& folder) {
    const gio::Library* gio = gio::library();
    if (!gio) return openUrl(folder.string());  // says why, without GIO
    const GObjectPtr<GFile> file(gio->file_new_for_path(folder.c_str()));
    const GText uri{gio->file_get_uri(file.get())};
    return openUrl(uri.get());
}

}  // namespace nubrio::linux_platform
