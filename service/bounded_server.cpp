#include "service/bounded_server.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service/deadline_stream.h"

namespace nubrio::service {

namespace {

using Clock = DeadlineStream::Clock;

// httplib's accept loop hands each connection to the task queue right after accept, as a job that
// knows only the socket. The queue notes that moment and passes it to process_and_close_socket,
// which runs on the thread that runs the job.
thread_local Clock::time_point acceptedAt;

class ConnectionQueue final : public httplib::TaskQueue {
public:
    ConnectionQueue(std::size_t threads, std::size_t waiting) : waiting_(waiting) {
        for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { work(); });
    }

    void enqueue(std::function<void()> job) override {
        const Clock::time_point now = Clock::now();
        {
            std::lock_guard lock(mutex_);
            if (jobs_.size() < waiting_) {
                jobs_.push_back({std::move(job), now});
                ready_.notify_one();
                return;
            }
        }
        // Too many clients already wait for a thread: this one is closed at once, unread, as overdue.
        acceptedAt = Clock::time_point::min();
        job();
    }

    // Runs what is still waiting (each closes at once: the server is stopping) and joins the threads.
    void shutdown() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

private:
    struct Job {
        std::function<void()> run;
        Clock::time_point acceptedAt;
    };

    void work() {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            acceptedAt = job.acceptedAt;
            job.run();
        }
    }

    const std::size_t waiting_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Whether the request sends, or announces, a body: any length but zero, any transfer or content coding.
bool announcesBody(const httplib::Request& request) {
    if (request.has_header("Transfer-Encoding") || request.has_header("Content-Encoding")) return true;
    for (std::size_t i = 0, count = request.get_header_value_count("Content-Length"); i < count; ++i) {
        const std::string length = request.get_header_value("Content-Length", i);
        if (length.empty() || length.find_first_not_of('0') != std::string::npos) return true;
    }
    return false;
}

bool addressedToLoopback(const httplib::Request& request, int port) {
    if (port == 0) return true;
    std::string host = request.get_header_value("Host");
    if (host.empty()) return true;
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string suffix = ":" + std::to_string(port);
    for (const char* name : {"127.0.0.1", "localhost", "[::1]"})
        if (host == name + suffix) return true;
    return false;
}

}  // namespace

BoundedServer::BoundedServer(ServerLimits limits)
    : limits_(limits), stopFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    new_task_queue = [this] { return new ConnectionQueue(limits_.threads, limits_.waiting); };

    // httplib calls this after the headers and before it reads a body, which it would otherwise read
    // whole, and inflate, into memory. The connection is closed after the answer, body unread.
    set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        if (!addressedToLoopback(request, loopbackPort_)) {
            response.status = 421;
            response.set_content("Misdirected Request\n", "text/plain");
            return HandlerResponse::Handled;
        }
        if (!announcesBody(request)) return HandlerResponse::Unhandled;
        response.status = 413;
        return HandlerResponse::Handled;
    });
    // A client that waits for "100 Continue" before it sends its body gets the refusal instead.
    set_expect_100_continue_handler([](const httplib::Request& request, httplib::Response& response) {
        if (!announcesBody(request)) return 100;
        response.status = 413;
        return 413;
    });
}

BoundedServer::~BoundedServer() {
    if (stopFd_ >= 0) close(stopFd_);
}

void BoundedServer::stopServing() {
    eventfd_write(stopFd_, 1);
    stop();
}

bool BoundedServer::process_and_close_socket(socket_t sock) {
    const Clock::time_point deadline = acceptedAt + limits_.requestTime;
    bool answered = false;
    if (Clock::now() < deadline) {
        DeadlineStream stream(sock, deadline, limits_.requestBytes, stopFd_);
        bool closedByClient = false;
        try {
            answered = process_request(stream, true, closedByClient, nullptr);
        } catch (...) {
            // One bad request must not end the worker; its connection is closed below like any other.
        }
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return answered;
}

}  // namespace nubrio::service
