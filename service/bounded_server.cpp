#include "service/bounded_server.h"

#include <microhttpd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace nubrio::service {

namespace {

// Header names and host names compare without case, in ASCII whatever the user's locale.
bool sameCaseless(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return std::ranges::equal(a, b, [&](char x, char y) { return lower(x) == lower(y); });
}

// Counts the headers that send, or announce, a body: any length but zero, any transfer or content coding.
MHD_Result noteBody(void* bodies, MHD_ValueKind, const char* name, const char* value) {
    const bool announces = sameCaseless(name, "Transfer-Encoding") || sameCaseless(name, "Content-Encoding") ||
                           (sameCaseless(name, "Content-Length") &&
                            (!value || !*value || std::strspn(value, "0") != std::strlen(value)));
    if (announces) ++*static_cast<int*>(bodies);
    return MHD_YES;
}

}  // namespace

BoundedServer::BoundedServer(Router router, int port, ServerLimits limits)
    : router_(std::move(router)), port_(port), limits_(limits) {}

bool BoundedServer::start(int listener) {
    watchdog_ = std::thread([this] { cutOffOverdueConnections(); });
    // libmicrohttpd calls this once the request line and headers are in, before it reads any body.
    // Every request is answered right there: it then reads no body, sends no "100 Continue", and
    // closes the connection after the answer.
    const MHD_AccessHandlerCallback handler = [](void* server, MHD_Connection* connection, const char* path,
                                                 const char* method, const char*, const char*, size_t*,
                                                 void**) -> MHD_Result {
        Answer answer = static_cast<const BoundedServer*>(server)->answer(connection, path, method);
        MHD_Response* response =
            MHD_create_response_from_buffer(answer.body.size(), answer.body.data(), MHD_RESPMEM_MUST_COPY);
        if (!response) return MHD_NO;  // closes the connection
        if (!answer.contentType.empty())
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
        const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
        MHD_destroy_response(response);
        return queued;
    };
    const MHD_NotifyConnectionCallback notify = [](void* server, MHD_Connection* connection, void**,
                                                   MHD_ConnectionNotificationCode code) {
        static_cast<BoundedServer*>(server)->noteConnection(connection, code == MHD_CONNECTION_NOTIFY_STARTED);
    };
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD, 0, nullptr, nullptr, handler, this,
        MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(listener),
        MHD_OPTION_THREAD_POOL_SIZE, limits_.threads,
        MHD_OPTION_CONNECTION_LIMIT, limits_.connections,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.headBytes,
        MHD_OPTION_NOTIFY_CONNECTION, notify, this,
        MHD_OPTION_END);
    if (!daemon_) stop();
    return daemon_ != nullptr;
}

void BoundedServer::stop() {
    if (daemon_) MHD_stop_daemon(daemon_);  // closes every connection, each one notified
    daemon_ = nullptr;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
}

Answer BoundedServer::answer(MHD_Connection* connection, const char* path, const char* method) const {
    const char* host = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    if (host && *host) {
        const std::string suffix = ":" + std::to_string(port_);
        const auto named = [&](const char* loopback) { return sameCaseless(host, loopback + suffix); };
        if (!named("127.0.0.1") && !named("localhost") && !named("[::1]"))
            return {421, "text/plain", "Misdirected Request\n"};
    }
    int bodies = 0;
    MHD_get_connection_values(connection, MHD_HEADER_KIND, noteBody, &bodies);
    if (bodies > 0) return {413, "text/plain", "Content Too Large\n"};
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 || std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0)
        if (std::optional<Answer> found = router_(path)) return *found;
    return {404, "text/plain", "Not Found\n"};
}

// libmicrohttpd notifies a connection's close before it closes the socket, on every path after the
// start (0.9.75 and 1.0.1 alike: new_connection_process_ and MHD_cleanup_connections), and both
// notifications take mutex_. So a socket still listed here is still that connection's, and never
// one that a newer connection got under the same number.
void BoundedServer::noteConnection(MHD_Connection* connection, bool started) {
    std::lock_guard lock(mutex_);
    if (!started) {
        open_.erase(connection);
        return;
    }
    // Called on the thread that accepted the connection, right after accept.
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (!info) return;
    open_.emplace(connection, Open{info->connect_fd, Clock::now() + limits_.connectionTime});
    changed_.notify_one();
}

void BoundedServer::cutOffOverdueConnections() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> next;
        for (auto& [connection, entry] : open_) {
            if (entry.deadline <= now) {
                // The connection's thread sees its socket end and closes it, unread.
                ::shutdown(entry.socket, SHUT_RDWR);
                entry.deadline = Clock::time_point::max();
            } else if (entry.deadline != Clock::time_point::max()) {
                next = std::min(next.value_or(entry.deadline), entry.deadline);
            }
        }
        if (next)
            changed_.wait_until(lock, *next);
        else
            changed_.wait(lock);
    }
}

}  // namespace nubrio::service
