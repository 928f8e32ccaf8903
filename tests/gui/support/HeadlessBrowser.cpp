#include "tests/gui/support/HeadlessBrowser.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

juce::var object(std::initializer_list<std::pair<const char*, juce::var>> properties) {
    auto* result = new juce::DynamicObject();
    for (const auto& [name, value] : properties)
        result->setProperty(name, value);
    return juce::var(result);
}

// Above the numbers the browser is to see them under, so that placing one never closes another.
int movedHigh(int fd) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return moved;
}

} // namespace

bool HeadlessBrowser::isInstalled() {
    return ::access(PROGRAM, X_OK) == 0;
}

HeadlessBrowser::HeadlessBrowser() {
    if (!launch())
        return;
    const juce::var target = call("Target.createTarget", object({{"url", "about:blank"}}));
    const juce::var attached = call("Target.attachToTarget",
                                    object({{"targetId", target["targetId"]}, {"flatten", true}}));
    session = attached["sessionId"].toString();
    if (session.isNotEmpty() && call("Page.enable", object({})).isVoid())
        session.clear();
}

HeadlessBrowser::~HeadlessBrowser() {
    if (toBrowser >= 0)
        ::close(toBrowser); // the browser ends when its command pipe does
    bool ended = pid == 0;
    for (int tries = 0; !ended && tries < 100; ++tries) { // a grace period of 5 s
        ended = ::waitpid(pid, nullptr, WNOHANG) == pid;
        if (!ended)
            ::usleep(50000);
    }
    if (!ended) {
        ::kill(-pid, SIGKILL); // its whole process group: renderers and helpers too
        ::waitpid(pid, nullptr, 0);
    }
    if (fromBrowser >= 0)
        ::close(fromBrowser);
    profile.deleteRecursively();
}

bool HeadlessBrowser::launch() {
    if (!isInstalled())
        return fail(juce::String(PROGRAM) + " is not installed");
    std::signal(SIGPIPE, SIG_IGN); // a browser gone mid-command is an error, not our end
    int commands[2], replies[2];
    if (::pipe2(commands, O_CLOEXEC) != 0 || ::pipe2(replies, O_CLOEXEC) != 0)
        return fail("no pipe: " + juce::String(std::strerror(errno)));
    const int browserReads = movedHigh(commands[0]), browserWrites = movedHigh(replies[1]);
    toBrowser = commands[1];
    fromBrowser = replies[0];
    profile = juce::File::createTempFile("doka-chromium");
    profile.createDirectory();
    std::vector<std::string> args{PROGRAM, "--headless=new", "--disable-gpu", "--no-first-run",
                                  "--hide-scrollbars", "--remote-debugging-pipe",
                                  "--user-data-dir=" + profile.getFullPathName().toStdString()};
    if (::geteuid() == 0)
        args.push_back("--no-sandbox"); // Chromium refuses its sandbox to root
    args.push_back("about:blank");
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, browserReads, 3);
    posix_spawn_file_actions_adddup2(&actions, browserWrites, 4);
    for (int quiet : {1, 2}) // its chatter about D-Bus and the like
        posix_spawn_file_actions_addopen(&actions, quiet, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    const int spawned = posix_spawn(&pid, PROGRAM, &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(browserReads);
    ::close(browserWrites);
    if (spawned != 0) {
        pid = 0;
        return fail("cannot start " + juce::String(PROGRAM) + ": " + juce::String(std::strerror(spawned)));
    }
    return true;
}

bool HeadlessBrowser::open(const juce::String& url) {
    juce::var reply;
    bool loaded = false;
    const int id = send("Page.navigate", object({{"url", url}}));
    const bool done = id != 0 && readUntil([&](const juce::var& message) {
        if (static_cast<int>(message["id"]) == id)
            reply = message;
        loaded = loaded || message["method"] == "Page.loadEventFired";
        return loaded && !reply.isVoid();
    }, 10000);
    const juce::String failed = reply["result"]["errorText"].toString();
    return done && (failed.isEmpty() || fail("cannot open " + url + ": " + failed));
}

bool HeadlessBrowser::setViewport(int width, int height) {
    return !call("Emulation.setDeviceMetricsOverride",
                 object({{"width", width}, {"height", height}, {"deviceScaleFactor", 1},
                         {"mobile", true}})).isVoid();
}

juce::var HeadlessBrowser::evaluate(const juce::String& expression, int timeoutMs) {
    const juce::var result =
        call("Runtime.evaluate",
             object({{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}}),
             timeoutMs);
    const juce::var exception = result["exceptionDetails"];
    if (!exception.isVoid()) {
        fail("the page threw: " + exception["exception"]["description"].toString() +
             exception["text"].toString());
        return {};
    }
    return result["result"]["value"];
}

bool HeadlessBrowser::screenshot(const juce::File& png) {
    juce::MemoryOutputStream bytes;
    const juce::var shot = call("Page.captureScreenshot", object({{"format", "png"}}));
    if (shot.isVoid() || !juce::Base64::convertFromBase64(bytes, shot["data"].toString()))
        return fail("no screenshot: " + lastError);
    png.getParentDirectory().createDirectory();
    return png.replaceWithData(bytes.getData(), bytes.getDataSize()) ||
           fail("cannot write " + png.getFullPathName());
}

int HeadlessBrowser::send(const juce::String& method, const juce::var& params) {
    const int id = ++lastId;
    const juce::var command = object({{"id", id}, {"method", method}, {"params", params}});
    if (session.isNotEmpty())
        command.getDynamicObject()->setProperty("sessionId", session);
    const std::string text = juce::JSON::toString(command, true).toStdString() + '\0';
    if (toBrowser < 0 ||
        ::write(toBrowser, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return fail("the browser takes no commands: " + method);
    return id;
}

juce::var HeadlessBrowser::call(const juce::String& method, const juce::var& params, int timeoutMs) {
    juce::var reply;
    const int id = send(method, params);
    if (id == 0 || !readUntil([&](const juce::var& m) {
            return static_cast<int>(m["id"]) == id && (reply = m, true);
        }, timeoutMs))
        return {};
    if (reply.hasProperty("error")) {
        fail(method + ": " + reply["error"]["message"].toString());
        return {};
    }
    return reply["result"];
}

bool HeadlessBrowser::readUntil(const std::function<bool(const juce::var&)>& wanted, int timeoutMs) {
    const auto deadline = juce::Time::getMillisecondCounter() + static_cast<juce::uint32>(timeoutMs);
    for (;;) {
        for (size_t end; (end = unread.find('\0')) != std::string::npos;) {
            const juce::var message = juce::JSON::parse(juce::String::fromUTF8(unread.data(), static_cast<int>(end)));
            unread.erase(0, end + 1);
            if (wanted(message))
                return true;
        }
        const int left = static_cast<int>(deadline - juce::Time::getMillisecondCounter());
        pollfd readable{fromBrowser, POLLIN, 0};
        const int ready = left > 0 ? ::poll(&readable, 1, left) : 0;
        if (ready == 0)
            return fail("no reply from the browser within " + juce::String(timeoutMs) + " ms");
        char chunk[65536];
        const ssize_t got = ready > 0 ? ::read(fromBrowser, chunk, sizeof chunk) : -1;
        if (got == 0 || (got < 0 && errno != EINTR))
            return fail("the browser ended");
        unread.append(chunk, static_cast<size_t>(std::max<ssize_t>(got, 0)));
    }
}

bool HeadlessBrowser::fail(const juce::String& why) {
    lastError = why;
    return false;
}
