#pragma once
// The worker's HTTP server, on libmicrohttpd. Any local program, and any web page, can reach its port,
// so nothing a client does may cost the worker more than a bounded share of it:
//   - one request per connection, with one deadline for all of it, counted from accept; a client
//     that drips its request byte by byte is cut off there too (libmicrohttpd's own timeout only
//     measures silence, so a watchdog ends overdue connections);
//   - at most `headBytes` of request line and headers are read; a request with a body is refused
//     (413) before its body is read, since the worker needs none;
//   - a fixed pool of threads, each serving its connections by events, so a slow client holds no
//     thread; a bounded number of connections, beyond which new ones wait unaccepted in the
//     listening socket's queue of `connections` entries;
//   - requests whose Host names anything but the loopback on the port (127.0.0.1, localhost, [::1])
//     get 421 Misdirected Request: a page whose own name was made to point at 127.0.0.1 (DNS
//     rebinding) reaches the port, but sends its own name. A request without Host (HTTP/1.0) comes
//     from no browser and is answered;
//   - stopping ends every connection at once: the application waits only 3 s for the worker to end
//     before it kills it.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

struct MHD_Connection;
struct MHD_Daemon;

namespace nubrio::service {

struct ServerLimits {
    std::chrono::milliseconds connectionTime{2000};  // the application's probe itself waits 2 s
    std::size_t headBytes = 16 * 1024;
    unsigned threads = 2;
    unsigned connections = 128;
};

struct Answer {
    unsigned status = 200;
    std::string contentType;
    std::string body;
};

// The answer to a GET or HEAD of a path; none gives 404.
using Router = std::function<std::optional<Answer>(std::string_view path)>;

class BoundedServer {
public:
    BoundedServer(Router router, int port, ServerLimits limits = {});
    ~BoundedServer() { stop(); }
    BoundedServer(const BoundedServer&) = delete;
    BoundedServer& operator=(const BoundedServer&) = delete;

    // Serves on `listener`, a socket bound to the port and listening, which the server closes when it
    // stops. False when the server could not start.
    bool start(int listener);

    // Ends every connection and the server's threads.
    void stop();

private:
    using Clock = std::chrono::steady_clock;

    Answer answer(MHD_Connection* connection, const char* path, const char* method) const;
    void noteConnection(MHD_Connection* connection, bool started);
    void cutOffOverdueConnections();

    const Router router_;
    const int port_;
    const ServerLimits limits_;
    MHD_Daemon* daemon_ = nullptr;

    struct Open {
        int socket;
        Clock::time_point deadline;  // max once cut off
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<const MHD_Connection*, Open> open_;  // from accept until libmicrohttpd closes them
    bool stopping_ = false;
    std::thread watchdog_;
};

}  // namespace nubrio::service
