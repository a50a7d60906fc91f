// Stand-ins for the network module, one build per behaviour of its loading: at once, slowly (each load,
// the trial's and the program's, takes STAND_IN_DELAY_MS), hanging or crashing in its constructor.
// Their session answers every request at once, inside get(), so that a test sees when a request
// reached it.
#include <unistd.h>

#include "platform/url_session.h"

namespace {

__attribute__((constructor)) void loading() {
#if defined(STAND_IN_HANG)
    for (;;) pause();
#elif defined(STAND_IN_CRASH)
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
#elif defined(STAND_IN_DELAY_MS)
    usleep(STAND_IN_DELAY_MS * 1000);
#endif
}

class StandInSession final : public nubrio::platform::UrlSession {
public:
    void get(const nubrio::platform::UrlRequest&, Completion completion) override {
        if (completion) completion(std::string("from the stand-in module"));
    }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) nubrio::platform::UrlSession* nubrio_network_create_url_session() {
    return new StandInSession();
}
