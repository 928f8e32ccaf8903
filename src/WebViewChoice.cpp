#include "src/WebViewChoice.h"

namespace {
const char* const SECTION_CURRENT = "Current";
const char* const IDENT_WEB_VIEW = "WebView";
const char* const IDENT_WEB_VIEW_ADDRESS = "WebViewAddress";
} // namespace

void WebViewChoice::load(const Lk::TIniFile& ini) {
    storedOn = ini.ReadInteger(SECTION_CURRENT, IDENT_WEB_VIEW, 0, 0, 1) != 0;
    const Lk::OxString text = ini.ReadString(SECTION_CURRENT, IDENT_WEB_VIEW_ADDRESS, "");
    stored = WebViewEndpoint();
    WebViewEndpoint::parse(text.c_str(), stored);
}

void WebViewChoice::save(Lk::TIniFile& ini) const {
    ini.WriteInteger(SECTION_CURRENT, IDENT_WEB_VIEW, storedOn ? 1 : 0);
    ini.WriteString(SECTION_CURRENT, IDENT_WEB_VIEW_ADDRESS, stored.toString().c_str());
}

void WebViewChoice::setForThisRun(bool on, const WebViewEndpoint& where) {
    runChosen = true;
    runOn = on;
    run = where;
}

void WebViewChoice::store(bool on, const WebViewEndpoint& where) {
    runChosen = false;
    storedOn = on;
    stored = where;
}

std::string describeWebView(const WebViewEndpoint& endpoint) {
    const std::vector<std::string> urls = endpoint.urls();
    if (endpoint.isLoopback())
        return "Open " + urls.front() + " in a browser on this computer.";
    std::string where;
    for (size_t i = 0; i < urls.size(); ++i)
        where += (i == 0 ? "" : i + 1 == urls.size() ? " or " : ", ") + urls[i];
    if (urls.empty())
        where = "this computer's address on the network (none is up now)";
    return "Phones, tablets and computers on the network can open " + where +
           ". Anyone on that network can then read the display; the firewall must let port " +
           std::to_string(endpoint.port) + " through.";
}
