#include "src/WebViewEndpoint.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace {

const size_t MAX_HOST_NAME = 253;

bool isIPv4(const std::string& text, in_addr* address = nullptr) {
    in_addr parsed{};
    const bool ok = inet_pton(AF_INET, text.c_str(), &parsed) == 1;
    if (ok && address != nullptr)
        *address = parsed;
    return ok;
}

bool isIPv6(const std::string& text) {
    in6_addr parsed{};
    return inet_pton(AF_INET6, text.c_str(), &parsed) == 1;
}

// Letters, digits and hyphens in labels between dots; what is all digits and dots must
// be an IPv4 address instead.
bool isHostName(const std::string& text) {
    if (text.empty() || text.size() > MAX_HOST_NAME || text.front() == '.' ||
        text.front() == '-' || text.find("..") != std::string::npos)
        return false;
    const bool allowed = std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '.';
    });
    const bool numeric = text.find_first_not_of("0123456789.") == std::string::npos;
    return allowed && !numeric;
}

bool parsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(text);
    return port <= 65535;
}

// "[v6]" for an IPv6 literal, as URLs and our own text write it.
std::string hostPart(const std::string& address) {
    return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

std::string url(const std::string& address, int port) {
    return "http://" + hostPart(address) + ":" + std::to_string(port) + "/";
}

bool isLinkLocal(const in6_addr& address) {
    return address.s6_addr[0] == 0xFE && (address.s6_addr[1] & 0xC0) == 0x80;
}

// The addresses of the network interfaces that are up, loopback left out: IPv4 ones, and
// with `withIPv6` the IPv6 ones a browser can reach without naming an interface.
std::vector<std::string> interfaceAddresses(bool withIPv6) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> hold(list, freeifaddrs);
    std::vector<std::string> addresses;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || (i->ifa_flags & IFF_UP) == 0 ||
            (i->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        char text[INET6_ADDRSTRLEN] = "";
        const int family = i->ifa_addr->sa_family;
        if (family == AF_INET) {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
            inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        } else if (family == AF_INET6 && withIPv6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(i->ifa_addr);
            if (!isLinkLocal(v6->sin6_addr))
                inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        }
        if (text[0] != '\0' &&
            std::find(addresses.begin(), addresses.end(), text) == addresses.end())
            addresses.emplace_back(text);
    }
    return addresses;
}

} // namespace

bool WebViewEndpoint::parse(const std::string& text, WebViewEndpoint& out) {
    WebViewEndpoint parsed;
    if (text.empty()) {
        out = parsed;
        return true;
    }
    std::string address;
    std::string port = text;
    if (text.front() == '[') {
        const size_t close = text.find("]:");
        if (close == std::string::npos)
            return false;
        address = text.substr(1, close - 1);
        port = text.substr(close + 2);
        if (!isIPv6(address))
            return false;
    } else if (const size_t colon = text.find(':'); colon != std::string::npos) {
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (!isIPv4(address) && !isHostName(address))
            return false;
    }
    if (!parsePort(port, parsed.port))
        return false;
    if (!address.empty())
        parsed.address = address;
    out = parsed;
    return true;
}

std::string WebViewEndpoint::toString() const {
    if (address == LOOPBACK)
        return std::to_string(port);
    return hostPart(address) + ":" + std::to_string(port);
}

bool WebViewEndpoint::isLoopback() const {
    in_addr v4{};
    if (isIPv4(address, &v4))
        return (ntohl(v4.s_addr) >> 24) == 127;
    std::string lower = address;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "::1" || lower == "localhost";
}

std::vector<std::string> WebViewEndpoint::urls() const {
    // A wildcard address listens on every interface: name each, as a phone would open it.
    const bool anyIPv4 = address == "0.0.0.0";
    const bool anyIPv6 = address == "::";
    if (!anyIPv4 && !anyIPv6)
        return {url(address, port)};
    std::vector<std::string> urls;
    for (const std::string& interface : interfaceAddresses(anyIPv6))
        urls.push_back(url(interface, port));
    return urls;
}
