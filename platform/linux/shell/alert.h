#pragma once
// Alerts as modal QMessageBoxes titled "Nubrio", without an icon, brought to the front.
#include <functional>

#include "platform/alert.h"

namespace nubrio::linux_platform {

class RequestQueue;

class LinuxAlerts final : public platform::Alerts {
public:
    // `terminating` says whether the program has begun to end: then no alert is shown, and one that
    // is open when it begins counts as dismissed.
    // While an alert is open, `requests` starts nothing, and brings it to the front for a request that
    // arrives.
    explicit LinuxAlerts(std::function<bool()> terminating = {}, RequestQueue* requests = nullptr)
        : terminating_(std::move(terminating)), requests_(requests) {}

    // Needs a QApplication. Buttons appear left to right in the order given, the first one the
    // default; Escape and closing the window choose the dismiss button. With no buttons there is one
    // standard OK button, in Spanish.
    int runModal(const platform::Alert& alert) override;

private:
    std::function<bool()> terminating_;
    RequestQueue* requests_;
};

// Installs Qt's own Spanish texts (the standard buttons, the text fields' context menus) on the
// application, once; call it at start-up, after the QApplication exists. False when the translation
// is not installed (qt6-translations-l10n): the alerts still label their OK button in Spanish.
bool installSpanishTranslation();

}  // namespace nubrio::linux_platform
