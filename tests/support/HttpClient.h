#pragma once

#include "tests/support/WaitUntil.h"

#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace dokatest {

// A raw HTTP client: it connects, sends bytes as they are and reads with a timeout.
struct HttpClient {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::string received;
    bool closed = false; // by the server
    bool connected = false;

    // A small receive buffer makes a client that never reads fill up soon.
    explicit HttpClient(int port, int receiveBuffer = 0) {
        if (receiveBuffer)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{
            AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
        connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~HttpClient() { close(fd); }
    HttpClient& send(const std::string& bytes) {
        EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
        return *this;
    }
    HttpClient& get(const std::string& path, const char* method = "GET") {
        return send(std::string(method) + " " + path + " HTTP/1.1\r\nHost: t\r\n\r\n");
    }
    // Reads until `wanted` has arrived (true), or the server closed or the time is up (false).
    bool readUntil(const std::string& wanted, unsigned timeoutMs = 5000) {
        const auto arrivedOrClosed = [&] {
            char buffer[4096];
            const ssize_t length = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            received.append(buffer, static_cast<size_t>(std::max<ssize_t>(length, 0)));
            closed = length == 0;
            return has(wanted) || closed;
        };
        return dokatest::waitUntil(arrivedOrClosed, timeoutMs) && has(wanted);
    }
    bool has(const std::string& text) const { return received.find(text) != std::string::npos; }
};

} // namespace dokatest
