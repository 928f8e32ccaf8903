#pragma once

#include "core/inifile/TIniFile.h"
#include "src/WebViewEndpoint.h"

#include <string>

// Whether the web view is on, and where: as the settings keep it, in [Current] "WebView"
// (0 or 1) and "WebViewAddress" ("[ADDRESS:]PORT"; one that does not parse reads as the
// default, 8230 on this computer only), and as the command line sets it for one run, until
// the port dialog stores a choice.
class WebViewChoice {
public:
    void load(const Lk::TIniFile& ini);
    void save(Lk::TIniFile& ini) const;
    // "--web-view": on at that endpoint, or off when its value did not parse; the setting
    // stays as it is.
    void setForThisRun(bool on, const WebViewEndpoint& where);
    void store(bool on, const WebViewEndpoint& where);

    bool isOn() const { return runChosen ? runOn : storedOn; }
    const WebViewEndpoint& endpoint() const { return runChosen ? run : stored; }

private:
    bool storedOn = false;
    WebViewEndpoint stored;
    bool runChosen = false;
    bool runOn = false;
    WebViewEndpoint run;
};

// What a web view at `endpoint` means, for the line under the port dialog's check box: where
// to open it, and for an address other devices reach, that anyone on that network can then
// read the display and the firewall must let the port through.
std::string describeWebView(const WebViewEndpoint& endpoint);
