#include "app/nubrio.h"
#include "editor/connect_link.h"

namespace nubrio {

void Nubrio::applicationOpenUrls(const std::vector<std::string>& urls) {
    for (const std::string& url : urls) {
        if (!editor::isConnectLink(url)) continue;
        // Not ready: parked for the probe of this worker, or dropped by the next start.
        if (ready)
            openWeb();
        else
            openWhenReady = true;
        return;  // one action however many links match
    }
}

}  // namespace nubrio
