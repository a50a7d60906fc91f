#pragma once
// What the user or another copy asks of the program (a menu command, a launcher's action handed over,
// links) runs one request at a time, from the event loop, never inside an open alert. A request
// that repeats one waiting or running joins it: the launcher's restart chosen twice asks once and
// restarts once, and a flood of hand-overs ends with one alert, not one alert nested in another.
// Nothing waits unseen: a request that arrives while an alert is open brings that alert to the front.
#include <QObject>

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nubrio::linux_platform {

class RequestQueue {
public:
    // Beyond this many waiting requests, others are dropped (with a line in the program's log).
    static constexpr std::size_t kMaxWaiting = 32;

    // `terminating` says whether the program has begun to end: then nothing more runs.
    explicit RequestQueue(std::function<bool()> terminating = {});
    ~RequestQueue();
    RequestQueue(const RequestQueue&) = delete;
    RequestQueue& operator=(const RequestQueue&) = delete;

    // Runs `run` later from the event loop, once no alert is open and no other request runs, unless a
    // request with the same key is waiting or running: then this one joins it and never runs. True
    // when taken (joined or dropped as surplus included); false once termination has begun. While an
    // alert is open, a request taken brings it to the front. Main thread only. `links` are the links
    // the request would deliver, should the program start anew before it runs.
    bool submit(const std::string& key, std::function<void()> run, std::vector<std::string> links = {});
    // The program's own work, at such a moment too; never dropped as surplus, and it brings no alert
    // to the front.
    bool submitOwn(const std::string& key, std::function<void()> run);

    // The links of the waiting requests, in their order.
    std::vector<std::string> waitingLinks() const;

    // An alert is open between these two calls: nothing starts meanwhile. `bringToFront` shows it to
    // the user again; of alerts opened one inside another, the last one's is called.
    void alertOpened(std::function<void()> bringToFront = {});
    void alertClosed();

    std::size_t waiting() const { return waiting_.size(); }

private:
    struct Request {
        std::string key;
        std::function<void()> run;
        std::vector<std::string> links;
    };
    bool take(Request request, bool bounded);
    void scheduleNext();
    void runNext();
    void bringAlertToFront();

    std::function<bool()> terminating_;
    std::deque<Request> waiting_;
    std::string running_;
    bool isRunning_ = false;
    int alertsOpen_ = 0;
    std::vector<std::function<void()>> alertFronts_;  // one per open alert, the innermost last
    bool scheduled_ = false;
    bool frontScheduled_ = false;
    bool dropping_ = false;
    std::unique_ptr<QObject> context_;
};

}  // namespace nubrio::linux_platform
