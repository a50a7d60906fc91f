#include <algorithm>
#include <vector>

#include "app/build_config.h"
#include "app/nubrio.h"
#include "app/texts.h"
#include "app/web_origin.h"
#include "editor/browsers.h"
#include "editor/editor_window.h"

namespace nubrio {

void Nubrio::openWeb() {
    // A running worker that is not ready, whether its probe is still under way or has given up: the
    // request waits for the probe. A halted worker no longer runs, so the browser opens at once.
    if (worker && worker->isRunning() && !ready) {
        openWhenReady = true;
        return;
    }

    platform::Workspace& workspace = platform_.workspace;
    const std::string origin = config::WebOrigin;
    std::vector<std::string> candidates(editor::browserOrder.begin(), editor::browserOrder.end());
    if (auto defaultBrowser = workspace.urlForApplicationToOpenUrl(origin)) {
        if (auto identifier = workspace.bundleIdentifierOfApplication(*defaultBrowser);
            identifier && std::ranges::find(editor::appModeBrowsers, *identifier) != editor::appModeBrowsers.end()) {
            std::erase(candidates, *identifier);
            candidates.insert(candidates.begin(), *identifier);
        }
    }

    for (const std::string& identifier : candidates) {
        if (auto browser = workspace.urlForApplicationWithBundleIdentifier(identifier)) {
            platform::OpenConfiguration configuration;
            configuration.createsNewApplicationInstance = true;
            configuration.arguments =
                editor::appWindowArguments(editor::appWindowPage(origin), platform_.screen.visibleFrame());
            // A browser that fails to start only means no window; the user can choose the item again.
            workspace.openApplication(*browser, configuration, [](std::optional<platform::Error>) {});
            return;
        }
    }

    if (auto firefox = workspace.urlForApplicationWithBundleIdentifier(editor::firefoxIdentifier)) {
        workspace.openUrlsWithApplication({origin + "/?app=1#app/crear"}, *firefox, platform::OpenConfiguration{});
        return;
    }

    const int choice = platform_.alerts.runModal(
        {texts::noBrowser(platform_.words),
         texts::noBrowserAdvice(platform_.words, webOriginHost()),
         {"Descargar Chrome", "Cerrar"},
         /*dismissButton=*/1});
    if (choice == platform::AlertFirstButtonReturn) workspace.openUrl(config::ChromeDownloadPage);
}

}  // namespace nubrio
