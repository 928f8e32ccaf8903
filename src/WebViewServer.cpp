#include "src/WebViewServer.h"

#include <microhttpd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <random>
#include <set>
#include <sys/random.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Small enough that a request or its headers past it are refused by the library.
constexpr size_t CONNECTION_MEMORY = 16 * 1024;
// A client that stops reading fills this and its own receive buffer soon, and is then
// dropped by the stall timeout instead of queueing states without end.
constexpr int SEND_BUFFER = 8 * 1024;
constexpr const char* STREAM_START = "retry: 1000\n\n";
constexpr const char* HEARTBEAT = ": \n\n";

std::string errnoText(int error) {
    return std::error_code(error, std::generic_category()).message();
}

// A listening socket on the endpoint, or -1 and the line that says why not.
int openListeningSocket(const WebViewEndpoint& endpoint, int stallSeconds, std::string& error) {
    const std::string& address = endpoint.address;
    if (endpoint.port < 0 || endpoint.port > 65535) {
        error = "Web view: " + std::to_string(endpoint.port) + " is not a port number";
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int lookup = getaddrinfo(address.empty() ? nullptr : address.c_str(),
                                   std::to_string(endpoint.port).c_str(), &hints, &found);
    if (lookup != 0) {
        error = lookup == EAI_NONAME || lookup == EAI_NODATA
                    ? "Web view: unknown address " + address
                    : "Web view: cannot listen on " + address + ": " + gai_strerror(lookup);
        return -1;
    }
    int listening = -1;
    error.clear();
    // A name may stand for several addresses (localhost: ::1 and 127.0.0.1): the first that
    // works is taken, and the first failure is told when none does.
    for (const addrinfo* candidate = found; candidate && listening < 0;
         candidate = candidate->ai_next) {
        const int fd = socket(candidate->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            if (error.empty())
                error = "Web view: cannot listen on " + address + ": " + errnoText(errno);
            continue;
        }
        const int on = 1, off = 0, sendBuffer = SEND_BUFFER;
        // Accepted connections inherit these: a gone client (a phone out of range) is noticed
        // when the heartbeat stays unacknowledged this long.
        const unsigned ackTimeoutMs = static_cast<unsigned>(stallSeconds) * 1000u;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &ackTimeoutMs, sizeof ackTimeoutMs);
        if (candidate->ai_family == AF_INET6) // "::" takes IPv4 clients as well
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        if (bind(fd, candidate->ai_addr, candidate->ai_addrlen) == 0 &&
            listen(fd, SOMAXCONN) == 0) {
            listening = fd;
            break;
        }
        if (error.empty())
            error = errno == EADDRINUSE
                        ? "Web view: port " + std::to_string(endpoint.port) + " on " + address +
                              " is in use by another program"
                        : "Web view: cannot listen on " + address + ": " + errnoText(errno);
        close(fd);
    }
    freeaddrinfo(found);
    if (listening >= 0)
        error.clear();
    return listening;
}

int portOf(int fd) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        return -1;
    return ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                             : reinterpret_cast<sockaddr_in&>(bound).sin_port);
}

// 18 random bytes as 24 characters of base64, for the page's one style and one script.
std::string freshNonce() {
    unsigned char bytes[18] = {};
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        for (auto& byte : bytes) // interrupted by a signal; as unguessable from here
            byte = static_cast<unsigned char>(std::random_device{}());
    static constexpr char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string nonce;
    for (size_t i = 0; i < sizeof bytes; i += 3) {
        const unsigned group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        for (int shift = 18; shift >= 0; shift -= 6)
            nonce += digits[(group >> shift) & 63];
    }
    return nonce;
}

} // namespace

struct WebViewServer::Impl {
    // One "/events" response. Its connection is suspended while it has nothing to send.
    struct Stream {
        Stream(Impl& server, MHD_Connection* connection) : server(server), connection(connection) {}
        Impl& server;
        MHD_Connection* connection;
        // The rest are guarded by the server's mutex.
        std::string pending; // what the client still has to take, from `sent` on
        size_t sent = 0;
        uint64_t version = 0; // of the state last put into `pending`
        Clock::time_point lastMessage = Clock::now();
        bool suspended = false;
    };

    MHD_Daemon* daemon = nullptr;
    int port = -1;
    Timing timing;
    std::thread notifier;
    std::atomic<int> clients{0};

    std::mutex mutex;
    std::condition_variable wake; // a new state, a suspended stream, or stop
    // Guarded by `mutex`; written by publish() and read by the server's threads.
    WebViewState state;
    std::string event = webViewEvent(state);
    uint64_t version = 1;
    std::set<Stream*> streams;
    bool stopping = false;

    WebViewState currentState() {
        std::lock_guard<std::mutex> lock(mutex);
        return state;
    }

    // MHD's thread, once per request, as soon as its headers are in. Answered at once, the
    // connection is closed after the response: a page or JSON request never keeps one of the
    // few places, and a body sent along is never read.
    static MHD_Result onRequest(void* cls, MHD_Connection* connection, const char* url,
                                const char* method, const char*, const char*, size_t*, void**) {
        auto& self = *static_cast<Impl*>(cls);
        if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
            std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
            return self.reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain",
                              "Only GET and HEAD\n", {{MHD_HTTP_HEADER_ALLOW, "GET, HEAD"}});
        if (std::strcmp(url, "/") == 0) {
            const std::string nonce = freshNonce();
            return self.reply(connection, MHD_HTTP_OK, "text/html; charset=utf-8",
                              webViewPage(self.currentState(), nonce),
                              {{"Content-Security-Policy", webViewContentSecurityPolicy(nonce)},
                               {"X-Content-Type-Options", "nosniff"},
                               {"Referrer-Policy", "no-referrer"}});
        }
        if (std::strcmp(url, "/display.json") == 0)
            return self.reply(connection, MHD_HTTP_OK, "application/json",
                              webViewJson(self.currentState()), {});
        if (std::strcmp(url, "/events") == 0)
            return self.openStream(connection);
        return self.reply(connection, MHD_HTTP_NOT_FOUND, "text/plain", "Not found\n", {});
    }

    MHD_Result reply(MHD_Connection* connection, unsigned status, const char* type,
                     const std::string& body,
                     std::initializer_list<std::pair<const char*, std::string>> headers) {
        MHD_Response* response = MHD_create_response_from_buffer(
            body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
        if (!response)
            return MHD_NO;
        addCommonHeaders(response, type);
        for (const auto& header : headers)
            MHD_add_response_header(response, header.first, header.second.c_str());
        const MHD_Result queued = MHD_queue_response(connection, status, response);
        MHD_destroy_response(response);
        return queued;
    }

    static void addCommonHeaders(MHD_Response* response, const char* type) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
        MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    }

    MHD_Result openStream(MHD_Connection* connection) {
        auto* stream = new Stream(*this, connection);
        MHD_Response* response = MHD_create_response_from_callback(
            MHD_SIZE_UNKNOWN, 1024, &readStream, stream, &closeStream);
        if (!response) {
            delete stream;
            return MHD_NO;
        }
        addCommonHeaders(response, "text/event-stream");
        {
            std::lock_guard<std::mutex> lock(mutex);
            stream->pending = STREAM_START + event;
            stream->version = version;
            streams.insert(stream);
        }
        const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
        MHD_destroy_response(response); // frees the stream through closeStream when not queued
        return queued;
    }

    // MHD's thread, whenever the stream's connection can take more. With nothing new it
    // suspends its own connection (only here may it) under the lock that publish() takes, so
    // the notifier sees either the new version or the suspended stream.
    static ssize_t readStream(void* cls, uint64_t, char* buffer, size_t max) {
        auto& stream = *static_cast<Stream*>(cls);
        Impl& self = stream.server;
        std::lock_guard<std::mutex> lock(self.mutex);
        if (stream.sent == stream.pending.size()) {
            if (self.stopping)
                return MHD_CONTENT_READER_END_OF_STREAM;
            const bool heartbeatDue = Clock::now() >= self.heartbeatDue(stream);
            if (stream.version == self.version && !heartbeatDue) {
                stream.suspended = true;
                MHD_suspend_connection(stream.connection);
                self.wake.notify_one();
                return 0;
            }
            stream.pending = stream.version == self.version ? HEARTBEAT : self.event;
            stream.version = self.version;
            stream.sent = 0;
            stream.lastMessage = Clock::now();
        }
        const size_t length = std::min(max, stream.pending.size() - stream.sent);
        std::memcpy(buffer, stream.pending.data() + stream.sent, length);
        stream.sent += length;
        return static_cast<ssize_t>(length);
    }

    // MHD's thread, when the response is done with (the connection closed or never queued).
    static void closeStream(void* cls) {
        auto* stream = static_cast<Stream*>(cls);
        {
            std::lock_guard<std::mutex> lock(stream->server.mutex);
            stream->server.streams.erase(stream);
        }
        delete stream;
    }

    Clock::time_point heartbeatDue(const Stream& stream) const {
        return stream.lastMessage + std::chrono::seconds(timing.heartbeatSeconds);
    }

    static void onConnection(void* cls, MHD_Connection*, void**,
                             MHD_ConnectionNotificationCode code) {
        static_cast<Impl*>(cls)->clients += code == MHD_CONNECTION_NOTIFY_STARTED ? 1 : -1;
    }

    // The notifier thread: resumes suspended streams that have a newer state or a heartbeat
    // due. Without suspended streams it sleeps until woken, so an idle server never wakes.
    void notify() {
        pthread_setname_np(pthread_self(), "WebViewNotify");
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) {
            const auto now = Clock::now();
            auto next = Clock::time_point::max();
            for (Stream* stream : streams) {
                if (!stream->suspended)
                    continue;
                if (stream->version != version || now >= heartbeatDue(*stream))
                    resume(*stream);
                else
                    next = std::min(next, heartbeatDue(*stream));
            }
            if (next == Clock::time_point::max())
                wake.wait(lock);
            else
                wake.wait_until(lock, next);
        }
    }

    void resume(Stream& stream) {
        stream.suspended = false;
        MHD_resume_connection(stream.connection);
    }
};

WebViewServer::WebViewServer() : impl(std::make_unique<Impl>()) {}

WebViewServer::~WebViewServer() {
    stop();
}

std::string WebViewServer::start(const WebViewEndpoint& endpoint, Timing timing) {
    stop();
    // Zero would mean no stall limit, or a heartbeat without pause.
    timing.stallSeconds = std::max(timing.stallSeconds, 1);
    timing.heartbeatSeconds = std::max(timing.heartbeatSeconds, 1);
    std::string error;
    const int fd = openListeningSocket(endpoint, timing.stallSeconds, error);
    if (fd < 0)
        return error;
    impl->timing = timing;
    impl->stopping = false;
    // The library closes the socket it was given on some failures and not on others: it gets
    // a copy, and this one is closed either way.
    const int given = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    impl->daemon =
        given < 0
            ? nullptr
            : MHD_start_daemon(
                  MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_ALLOW_SUSPEND_RESUME, 0,
                  nullptr, nullptr, &Impl::onRequest, impl.get(), MHD_OPTION_LISTEN_SOCKET, given,
                  MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(MAX_CLIENTS),
                  MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(timing.stallSeconds),
                  MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY,
                  MHD_OPTION_NOTIFY_CONNECTION, &Impl::onConnection, impl.get(), MHD_OPTION_END);
    const int startError = errno;
    impl->port = impl->daemon ? portOf(fd) : -1;
    close(fd);
    if (!impl->daemon)
        return "Web view: cannot listen on " + endpoint.address + ": " + errnoText(startError);
    impl->notifier = std::thread([this] { impl->notify(); });
    return {};
}

void WebViewServer::stop() {
    if (!impl->daemon)
        return;
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        impl->stopping = true; // streams end instead of suspending again
        for (auto* stream : impl->streams)
            if (stream->suspended)
                impl->resume(*stream);
    }
    impl->wake.notify_all();
    impl->notifier.join();
    MHD_stop_daemon(impl->daemon); // closes every connection, and so every stream
    impl->daemon = nullptr;
    impl->port = -1;
}

bool WebViewServer::isRunning() const {
    return impl->daemon != nullptr;
}

int WebViewServer::boundPort() const {
    return impl->port;
}

void WebViewServer::publish(const WebViewState& state) {
    std::string event = webViewEvent(state);
    {
        std::lock_guard<std::mutex> lock(impl->mutex);
        if (state == impl->state)
            return;
        impl->state = state;
        impl->event = std::move(event);
        ++impl->version;
    }
    impl->wake.notify_one();
}

int WebViewServer::clientCount() const {
    return impl->clients;
}
