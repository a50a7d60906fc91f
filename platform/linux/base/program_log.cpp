#include "platform/linux/base/program_log.h"

#include <pthread.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/linux/base/printable.h"

namespace nubrio::linux_platform::program_log {

namespace {

constexpr const char* JournalSocket = "/run/systemd/journal/socket";

std::atomic<bool> standardErrorAllowed{true};

void writeStandardError(const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data() + sent, text.size() - sent);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere left to say it
        sent += static_cast<std::size_t>(n);
    }
}

void send(const std::string& text) {
    // libsystemd reports success when no journal runs, so its socket decides.
    if (::access(JournalSocket, F_OK) == 0 &&
        sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%i", LOG_WARNING, "SYSLOG_IDENTIFIER=%s",
                        Identifier, nullptr) >= 0)
        return;
    if (!standardErrorAllowed) return;
    writeStandardError(std::string(Identifier) + ": " + text + "\n");
}

// The queue and its one writer thread. A forked child starts a thread of its own on its first line
// and leaves the parent's queue to the parent.
class Writer {
public:
    Writer() { ::pthread_atfork(&Writer::beforeFork, &Writer::afterForkInParent, &Writer::afterForkInChild); }

    void push(std::string line) {
        std::unique_lock lock(mutex_);
        if (writerPid_ != ::getpid()) startWriter();
        if (waiting_.size() >= kMaxWaitingLines) {
            ++dropped_;
            return;
        }
        if (dropped_ > 0) {
            line += " (" + std::to_string(dropped_) + (dropped_ == 1 ? " earlier line" : " earlier lines") +
                    " dropped: the log was not being read)";
            dropped_ = 0;
        }
        waiting_.push_back(std::move(line));
        ready_.notify_one();
    }

    void flush(std::chrono::milliseconds bound) {
        std::unique_lock lock(mutex_);
        if (writerPid_ != ::getpid()) return;
        drained_.wait_for(lock, bound, [this] { return waiting_.empty() && !sending_; });
    }

    static Writer& instance() {
        // Never destroyed: the writer thread may still be blocked in a write when the process exits.
        static Writer* writer = new Writer;
        return *writer;
    }

private:
    void startWriter() {
        waiting_.clear();  // a forked child's copy of its parent's lines
        dropped_ = 0;
        sending_ = false;
        writerPid_ = ::getpid();
        try {
            std::thread([this] { run(); }).detach();
        } catch (const std::system_error&) {
            writerPid_ = 0;  // tried again with the next line
        }
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return !waiting_.empty(); });
            std::string line = std::move(waiting_.front());
            waiting_.pop_front();
            sending_ = true;
            lock.unlock();
            send(line);
            lock.lock();
            sending_ = false;
            if (waiting_.empty()) drained_.notify_all();
        }
    }

    static void beforeFork() { instance().mutex_.lock(); }
    static void afterForkInParent() { instance().mutex_.unlock(); }
    static void afterForkInChild() { instance().mutex_.unlock(); }

    std::mutex mutex_;
    std::condition_variable ready_, drained_;
    std::deque<std::string> waiting_;
    std::size_t dropped_ = 0;
    bool sending_ = false;
    pid_t writerPid_ = 0;
};

}  // namespace

void keepOffStandardError() { standardErrorAllowed = false; }

std::string lineText(std::string_view line) {
    std::size_t cut = 0;
    std::string text = printable(line, kMaxLineBytes, &cut);
    if (cut > 0) text += " (" + std::to_string(cut) + " more bytes not shown)";
    return text;
}

void write(std::string_view line) { Writer::instance().push(lineText(line)); }

void flush(std::chrono::milliseconds bound) { Writer::instance().flush(bound); }

}  // namespace nubrio::linux_platform::program_log
