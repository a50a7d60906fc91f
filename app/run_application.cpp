#include "app/run_application.h"

#include "app/nubrio.h"

namespace nubrio {

namespace {
// The shared application does not own its delegate: this global keeps it alive for the whole process.
platform::Application* app = nullptr;
std::shared_ptr<Nubrio> delegate;
}  // namespace

int runApplication(platform::Platform& platform) {
    app = &platform.application;
    delegate = std::make_shared<Nubrio>(platform);
    app->setDelegate(delegate);
    app->setActivationPolicy(platform::ActivationPolicy::Accessory);
    app->run();
    // The loop has ended: let the delegate's status item go while the platform it belongs to still exists.
    delegate.reset();
    return 0;
}

}  // namespace nubrio
