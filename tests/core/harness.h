#pragma once
// A delegate on the fake platform, and read access to its state.
#include <gtest/gtest.h>

#include "app/nubrio.h"
#include "fake_platform.h"

namespace nubrio {

class NubrioInspector {
public:
    explicit NubrioInspector(Nubrio& nubrio) : n_(nubrio) {}
    bool ready() const { return n_.ready; }
    bool stopping() const { return n_.stopping; }
    bool openWhenReady() const { return n_.openWhenReady; }
    Uuid startup() const { return n_.startup; }
    const std::vector<double>& restarts() const { return n_.restarts; }
    const std::string& version() const { return n_.version; }
    const std::filesystem::path& home() const { return n_.home; }
    std::shared_ptr<platform::Task> worker() const { return n_.worker; }
    std::shared_ptr<platform::MenuItem> status() const { return n_.status; }
    std::shared_ptr<platform::MenuItem> login() const { return n_.login; }
    std::shared_ptr<platform::StatusItem> item() const { return n_.item; }

private:
    Nubrio& n_;
};

namespace testing {

inline constexpr const char* kPreparing = "Preparando la conexión con el editor…";
inline constexpr const char* kReady = "Lista para conectar · Nubrio en segundo plano";
inline constexpr const char* kHalted = "Procesamiento detenido · podés reiniciarlo";

// A launched delegate on the fake platform.
class CoreTest : public ::testing::Test {
protected:
    fake::FakePlatform fake;
    std::shared_ptr<Nubrio> nubrio;

    std::shared_ptr<Nubrio> make() {
        nubrio = std::make_shared<Nubrio>(fake.platform);
        fake.application.setDelegate(nubrio);
        return nubrio;
    }
    // Launches with these extra command-line arguments and runs what is due.
    void launch(std::vector<std::string> arguments = {}) {
        for (auto& argument : arguments) fake.process.args.push_back(argument);
        if (!nubrio) make();
        nubrio->applicationDidFinishLaunching();
        fake.queue.runUntilIdle();
    }
    NubrioInspector state() { return NubrioInspector(*nubrio); }
    std::shared_ptr<fake::FakeTask> worker() { return fake.tasks.last(); }
    std::string statusLine() { return state().status()->title(); }

    std::string challengeAnswer(int pid, const std::string& version = "1.4.2") {
        return "{\"pid\": " + std::to_string(pid) + ", \"version\": \"" + version + "\"}";
    }
    // Answers the request in flight, runs the judgement, and lets the retry delay pass.
    void answer(std::optional<std::string> body) {
        fake.url.answer(std::move(body));
        fake.queue.runUntilIdle();
    }
    void answerReady() { answer(challengeAnswer(worker()->pid)); }
    void refuse() { answer(std::nullopt); }
    void retryDelay() { fake.queue.advance(1.0); }
};

}  // namespace testing
}  // namespace nubrio
