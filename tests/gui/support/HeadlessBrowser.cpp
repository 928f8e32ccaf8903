#include "tests/gui/support/HeadlessBrowser.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

HeadlessBrowser::HeadlessBrowser() {
    if (!launch())
        return;
    const juce::var target = call("Target.createTarget", R"({"url":"about:blank"})");
    session = call("Target.attachToTarget",
                   "{\"flatten\":true,\"targetId\":" + juce::JSON::toString(target["targetId"]) +
                       "}")["sessionId"]
                  .toString();
    if (session.isNotEmpty() && call("Page.enable", "{}").isVoid())
        session.clear();
}

HeadlessBrowser::~HeadlessBrowser() {
    ::close(toBrowser); // the browser ends when its command pipe does
    ::close(fromBrowser);
    for (int tries = 0; pid > 0 && ::waitpid(pid, nullptr, WNOHANG) != pid; ++tries) {
        if (tries == 100) { // after a grace period of 5 s, its whole process group
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            break;
        }
        ::usleep(50000);
    }
    profile.deleteRecursively();
}

bool HeadlessBrowser::launch() {
    if (!isInstalled())
        return fail(juce::String(PROGRAM) + " is not installed");
    std::signal(SIGPIPE, SIG_IGN); // a browser gone mid-command is an error, not our end
    int commands[2], replies[2];
    if (::pipe2(commands, O_CLOEXEC) != 0 || ::pipe2(replies, O_CLOEXEC) != 0)
        return fail("no pipe");
    toBrowser = commands[1];
    fromBrowser = replies[0];
    // Above the numbers the browser takes them under, so that placing one never closes another.
    const int theirs[] = {::fcntl(commands[0], F_DUPFD_CLOEXEC, 10),
                          ::fcntl(replies[1], F_DUPFD_CLOEXEC, 10), commands[0], replies[1]};
    profile = juce::File::createTempFile("doka-chromium");
    profile.createDirectory();
    const std::string userData = "--user-data-dir=" + profile.getFullPathName().toStdString();
    // Chromium refuses its sandbox to root; the flag in that place is said twice otherwise.
    const char* const sandbox = ::geteuid() == 0 ? "--no-sandbox" : "--no-first-run";
    // clang-format off
    const char* argv[] = {PROGRAM, "--headless=new", "--disable-gpu", "--no-first-run",
                          "--hide-scrollbars", "--remote-debugging-pipe", userData.data(),
                          sandbox, "about:blank", nullptr};
    // clang-format on
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs[0], 3);
    posix_spawn_file_actions_adddup2(&actions, theirs[1], 4);
    for (int quiet : {1, 2}) // its chatter about D-Bus and the like
        posix_spawn_file_actions_addopen(&actions, quiet, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    const int spawned =
        posix_spawn(&pid, PROGRAM, &actions, &attributes, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (int fd : theirs)
        ::close(fd);
    if (spawned != 0)
        pid = 0;
    return spawned == 0 || fail("cannot start " + juce::String(PROGRAM));
}

bool HeadlessBrowser::open(const juce::String& url) {
    const juce::var result =
        call("Page.navigate", "{\"url\":" + juce::JSON::toString(url) + "}", "Page.loadEventFired");
    return !result.isVoid() && (result["errorText"].isVoid() ||
                                fail("cannot open " + url + ": " + result["errorText"].toString()));
}

bool HeadlessBrowser::setViewport(int width, int height) {
    const juce::String size =
        "{\"width\":" + juce::String(width) + ",\"height\":" + juce::String(height);
    return !call("Emulation.setDeviceMetricsOverride",
                 size + R"(,"deviceScaleFactor":1,"mobile":true})")
                .isVoid();
}

juce::var HeadlessBrowser::evaluate(const juce::String& expression, int timeoutMs) {
    const juce::var result = call("Runtime.evaluate",
                                  "{\"expression\":" + juce::JSON::toString(expression) +
                                      R"(,"awaitPromise":true,"returnByValue":true})",
                                  {}, timeoutMs);
    if (result.hasProperty("exceptionDetails"))
        fail("the page threw: " +
             result["exceptionDetails"]["exception"]["description"].toString());
    return result.hasProperty("exceptionDetails") ? juce::var() : result["result"]["value"];
}

bool HeadlessBrowser::screenshot(const juce::File& png) {
    juce::MemoryOutputStream bytes;
    const juce::var shot = call("Page.captureScreenshot", R"({"format":"png"})");
    png.getParentDirectory().createDirectory();
    return (!shot.isVoid() && juce::Base64::convertFromBase64(bytes, shot["data"].toString()) &&
            png.replaceWithData(bytes.getData(), bytes.getDataSize())) ||
           fail("no screenshot in " + png.getFullPathName() + ": " + lastError);
}

juce::var HeadlessBrowser::call(const juce::String& method, const juce::String& params,
                                const juce::String& event, int timeoutMs) {
    if (pid == 0)
        return {}; // error() keeps why it did not start
    const int id = ++lastId;
    const std::string text =
        ("{\"id\":" + juce::String(id) + ",\"method\":\"" + method + "\",\"params\":" + params +
         (session.isEmpty() ? "" : ",\"sessionId\":\"" + session + "\"") + "}")
            .toStdString() +
        '\0';
    if (::write(toBrowser, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return fail("the browser takes no commands"), juce::var();
    juce::var reply;
    bool happened = event.isEmpty();
    const auto deadline =
        juce::Time::getMillisecondCounter() + static_cast<juce::uint32>(timeoutMs);
    // The program under test may run on the same message thread: it goes on meanwhile.
    const bool onMessageThread = juce::MessageManager::existsAndIsCurrentThread();
    while (!happened || reply.isVoid()) {
        const size_t end = unread.find('\0');
        if (end != std::string::npos) {
            const juce::var message = juce::JSON::parse(unread.substr(0, end));
            unread.erase(0, end + 1);
            if (static_cast<int>(message["id"]) == id)
                reply = message;
            happened = happened || message["method"] == event;
            continue;
        }
        const int left = static_cast<int>(deadline - juce::Time::getMillisecondCounter());
        pollfd readable{fromBrowser, POLLIN, 0};
        const int ready = left > 0 ? ::poll(&readable, 1, onMessageThread ? 0 : left) : 0;
        if (ready == 0 && left > 0 && onMessageThread)
            juce::MessageManager::getInstance()->runDispatchLoopUntil(5);
        else if (ready == 0)
            return fail(method + ": no reply within " + juce::String(timeoutMs) + " ms"),
                   juce::var();
        char chunk[65536];
        const ssize_t got = ready > 0 ? ::read(fromBrowser, chunk, sizeof chunk) : 0;
        if (ready > 0 && (got == 0 || (got < 0 && errno != EINTR)))
            return fail("the browser ended"), juce::var();
        unread.append(chunk, static_cast<size_t>(std::max<ssize_t>(got, 0)));
    }
    if (reply.hasProperty("error"))
        fail(method + ": " + reply["error"]["message"].toString());
    return reply["result"];
}

bool HeadlessBrowser::fail(const juce::String& why) {
    lastError = why;
    return false;
}
