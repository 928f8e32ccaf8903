#pragma once

#include "src/WebViewContent.h"
#include "src/WebViewEndpoint.h"

#include <memory>
#include <string>

// The read-only web view: an HTTP server inside the program that serves one page, its live
// updates as Server-Sent Events ("/events") and the same state as JSON ("/display.json").
// Nothing is served from disk and no request changes anything. At most MAX_CLIENTS
// connections; a client that stops reading is dropped, never waited for.
class WebViewServer {
public:
    static constexpr int MAX_CLIENTS = 16;
    // Tests shorten these.
    struct Timing {
        int stallSeconds = 10;     // a connection that takes nothing this long is dropped
        int heartbeatSeconds = 15; // a comment line on quiet event streams, to find gone clients
    };

    WebViewServer();
    ~WebViewServer(); // stop()
    WebViewServer(const WebViewServer&) = delete;
    WebViewServer& operator=(const WebViewServer&) = delete;

    // Listens and serves; "" on success, else one line that says why not, for stderr and the
    // port dialog: "Web view: port 8230 on 127.0.0.1 is in use by another program".
    std::string start(const WebViewEndpoint& endpoint, Timing timing);
    std::string start(const WebViewEndpoint& endpoint) { return start(endpoint, Timing()); }
    // Drops every client and waits for the server's threads. Idempotent.
    void stop();
    bool isRunning() const;
    // The port listened on (the system's choice when the endpoint asked for port 0).
    int boundPort() const;
    // Any thread; never waits for the network. Clients get the newest state only: states
    // published faster than a client takes them are skipped, not queued.
    void publish(const WebViewState& state);
    // Connections open now.
    int clientCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
