#pragma once
// The worker's HTTP server. Any local program, and any web page, can reach its port, so nothing a
// client does may cost the worker more than a bounded share of it:
//   - one request per connection, with one deadline for all of it, counted from accept;
//   - at most a request line and headers are read; a request with a body is refused (413) before
//     its body is read, since the worker needs none;
//   - a fixed set of threads, each held by a client for at most that deadline, and a bounded list of
//     accepted connections waiting for one; beyond it, or past its deadline, a connection is closed
//     unread;
//   - stopping ends every connection at once: the application waits only 3 s for the worker to end
//     before it kills it.
#include <httplib.h>

#include <chrono>
#include <cstddef>

namespace nubrio::service {

struct ServerLimits {
    std::chrono::milliseconds requestTime{2000};  // the application's probe itself waits 2 s
    std::size_t requestBytes = 16 * 1024;
    std::size_t threads = 16;
    std::size_t waiting = 64;
};

class BoundedServer : public httplib::Server {
public:
    explicit BoundedServer(ServerLimits limits = {});
    ~BoundedServer() override;
    BoundedServer(const BoundedServer&) = delete;
    BoundedServer& operator=(const BoundedServer&) = delete;

    // From now on, requests whose Host names anything but the loopback on `port` (127.0.0.1,
    // localhost, [::1]) get 421 Misdirected Request: a page whose own name was made to point at
    // 127.0.0.1 (DNS rebinding) reaches the port, but sends its own name. A request without Host
    // (HTTP/1.0) comes from no browser and is answered. Call before listening.
    void answerOnlyLoopbackHosts(int port) { loopbackPort_ = port; }

    // Ends the connections in progress and the accept loop; any thread may call it, at any time.
    void stopServing();

private:
    bool process_and_close_socket(socket_t sock) override;

    ServerLimits limits_;
    int loopbackPort_ = 0;  // 0: any Host
    int stopFd_;  // an eventfd, readable once stopping
};

}  // namespace nubrio::service
