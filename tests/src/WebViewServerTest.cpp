#include "src/WebViewServer.h"
#include "tests/support/HttpClient.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Client = dokatest::HttpClient;

WebViewState stateWith(const std::string& line1, const std::string& input = "open") {
    return {line1, "<b>&\"", -1, kReceiveChannelOmni, input};
}

class WebViewServerTest : public testing::Test {
protected:
    void SetUp() override {
        server.publish(stateWith("FIRST"));
        ASSERT_EQ(server.start({"127.0.0.1", 0}, {1, 1}), "");
        port = server.boundPort();
    }
    WebViewServer server;
    int port = 0;
};

// The page with a fresh nonce that its policy names, the JSON, 404 and 405, and the stream:
// the state at once, then each new one and a heartbeat while nothing changes.
TEST_F(WebViewServerTest, servesThePageTheJsonAndALiveStreamWithTheirHeaders) {
    std::string nonces[2];
    for (std::string& nonce : nonces) {
        Client page(port);
        ASSERT_TRUE(page.get("/").readUntil("</html>"));
        const size_t at = page.received.find("nonce=\"") + 7;
        nonce = page.received.substr(at, page.received.find('"', at) - at);
        EXPECT_TRUE(page.has("Content-Security-Policy: " + webViewContentSecurityPolicy(nonce)));
        EXPECT_TRUE(page.has("\r\nContent-Type: text/html; charset=utf-8\r\n"));
        EXPECT_TRUE(page.has("\r\nX-Content-Type-Options: nosniff\r\n"));
        EXPECT_TRUE(page.has("\r\nReferrer-Policy: no-referrer\r\n"));
        EXPECT_TRUE(page.has("\r\nCache-Control: no-store\r\n"));
    }
    EXPECT_GE(nonces[0].size(), 22u);
    EXPECT_NE(nonces[0], nonces[1]);

    Client json(port), missing(port), post(port);
    ASSERT_TRUE(json.get("/display.json").readUntil(webViewJson(stateWith("FIRST"))));
    EXPECT_TRUE(json.has("\r\nContent-Type: application/json\r\n"));
    EXPECT_TRUE(json.has("\r\nConnection: close\r\n")) << "holds no place once answered";
    EXPECT_TRUE(missing.get("/etc/passwd").readUntil("HTTP/1.1 404"));
    EXPECT_TRUE(post.get("/", "POST").readUntil("HTTP/1.1 405"));
    EXPECT_TRUE(post.has("\r\nAllow: GET, HEAD\r\n"));

    Client events(port);
    ASSERT_TRUE(events.get("/events").readUntil(webViewEvent(stateWith("FIRST"))));
    EXPECT_TRUE(events.has("\r\nContent-Type: text/event-stream\r\n"));
    EXPECT_TRUE(events.has("\r\nCache-Control: no-store\r\n"));
    EXPECT_TRUE(events.has("retry: 1000\n\n"));
    server.publish(stateWith("SECOND"));
    EXPECT_TRUE(events.readUntil(webViewEvent(stateWith("SECOND"))));
    EXPECT_TRUE(events.readUntil(": \n\n", 3000));
    server.stop(); // with the stream suspended
    EXPECT_FALSE(events.readUntil("never", 3000));
    EXPECT_TRUE(events.closed);
}

// Streams and JSON readers come and go by the hundred while states are published; at most
// MAX_CLIENTS are served at once, none is left behind, and a newcomer gets the newest state.
TEST_F(WebViewServerTest, hundredClientsComeAndGoWhileStatesArePublished) {
    std::atomic<int> served{0}, finished{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 25; ++t)
        clients.emplace_back([&, t] {
            for (int i = 0; i < 4; ++i) {
                Client client(port);
                const bool stream = (t + i) % 2 == 0;
                served += client.get(stream ? "/events" : "/display.json")
                              .readUntil(stream ? "data: " : "}", 20000);
            }
            ++finished;
        });
    int mostClients = 0;
    for (int i = 0; finished < 25; ++i) {
        server.publish(stateWith(std::to_string(i)));
        mostClients = std::max(mostClients, server.clientCount());
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    for (std::thread& client : clients)
        client.join();
    EXPECT_EQ(served, 100);
    EXPECT_LE(mostClients, WebViewServer::MAX_CLIENTS);
    server.publish(stateWith("NEWEST"));
    Client json(port);
    EXPECT_TRUE(json.get("/display.json").readUntil(webViewJson(stateWith("NEWEST"))));
    EXPECT_TRUE(dokatest::waitUntil([&] { return server.clientCount() == 0; }));
}

// A stream client that never reads is dropped once its buffers are full, within the stall
// time and a margin, while a client that reads keeps getting the states.
TEST_F(WebViewServerTest, aClientThatNeverReadsIsDroppedAndTheOthersKeepGettingStates) {
    Client stalled(port, 4096), reading(port);
    stalled.get("/events");
    ASSERT_TRUE(reading.get("/events").readUntil("data: "));
    int published = 0;
    EXPECT_TRUE(dokatest::waitUntil([&] {
        server.publish(stateWith("FAST", std::string(1000, 'x') + std::to_string(++published)));
        reading.received.clear();
        EXPECT_TRUE(reading.readUntil("data: ", 2000)) << "the reading client starved";
        return server.clientCount() == 1;
    })) << "the stalled client was not dropped";
    server.publish(stateWith("AFTER"));
    EXPECT_TRUE(reading.readUntil(webViewEvent(stateWith("AFTER"))));
}

// Malformed and oversized requests get an error status or a close, and the server serves on.
TEST_F(WebViewServerTest, malformedAndOversizedRequestsAreRefused) {
    const std::string big(20000, 'a');
    for (const std::string& request :
         {std::string("GARBAGE\r\n\r\n"), std::string("GET / HTTP/9.9\r\n\r\n"),
          "GET /" + big + " HTTP/1.1\r\nHost: t\r\n\r\n",
          "GET / HTTP/1.1\r\nHost: t\r\nX: " + big + "\r\n\r\n",
          std::string("GET /\x01\xff HTTP/1.1\r\nHost: t\r\n\r\n"), std::string("GET / HT")}) {
        Client client(port);
        client.send(request).readUntil("\r\n\r\n", 3000);
        EXPECT_TRUE(client.received.empty() || client.received.substr(0, 10) != "HTTP/1.1 2")
            << client.received.substr(0, 40);
    }
    Client json(port);
    EXPECT_TRUE(json.get("/display.json").readUntil("FIRST"));
}

// A port in use, or an address not on this computer, is one line; port 0 then works.
TEST_F(WebViewServerTest, aPortInUseIsOneLineAndAnotherPortWorks) {
    WebViewServer second;
    EXPECT_EQ(second.start({"127.0.0.1", port}), "Web view: port " + std::to_string(port) +
                                                     " on 127.0.0.1 is in use by another program");
    EXPECT_FALSE(second.isRunning());
    EXPECT_EQ(second.start({"192.0.2.1", 0}),
              "Web view: cannot listen on 192.0.2.1: Cannot assign requested address");
    ASSERT_EQ(second.start({"127.0.0.1", 0}), "");
    EXPECT_NE(second.boundPort(), port);
}

} // namespace
