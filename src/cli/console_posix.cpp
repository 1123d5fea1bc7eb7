// The terminal seam on Linux: a tty or a pipe in the locale's encoding
// (converted with iconv), and a thread of its own that takes SIGINT, SIGTERM
// and SIGHUP.
#include "cli/console.h"
#include "cli/console_route.h"
#include "platform/codepage.h"

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {
namespace {

// The terminal's encoding; empty for UTF-8, which needs no iconv.
std::string g_codeset;

struct SignalWatch {
    pthread_t thread;
    bool running = false;
    sigset_t signals;
    std::atomic<bool> stopping{false};
};
SignalWatch g_watch;

bool IsUtf8Codeset(const char* codeset) {
    // The C and POSIX locales report ASCII; their terminals are UTF-8 in
    // practice, and ASCII is a subset of it.
    return codeset == nullptr || *codeset == '\0' || strcasecmp(codeset, "UTF-8") == 0 ||
           strcasecmp(codeset, "utf8") == 0 || strcmp(codeset, "ANSI_X3.4-1968") == 0 ||
           strcasecmp(codeset, "ASCII") == 0;
}

// Converts with iconv; with `lossy`, a sequence that cannot be converted
// becomes '?' and the conversion goes on, else it ends with false.
bool Iconv(const char* to, const char* from, const std::string& in, std::string* out, bool lossy) {
    out->clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        return false;
    char* source = const_cast<char*>(in.data());
    size_t left = in.size();
    char buffer[1024];
    bool ok = true;
    while (left > 0) {
        char* target = buffer;
        size_t room = sizeof buffer;
        size_t result = iconv(cd, &source, &left, &target, &room);
        out->append(buffer, target - buffer);
        if (result != (size_t)-1 || errno == E2BIG)
            continue;
        if (!lossy || left == 0) {
            ok = false;
            break;
        }
        out->push_back('?');
        ++source;
        --left;
    }
    iconv_close(cd);
    return ok;
}

std::string ToTerminal(const std::string& acp) {
    std::string utf8 = pi::AcpToUtf8Lossy(acp);
    if (g_codeset.empty())
        return utf8;
    std::string converted;
    Iconv(g_codeset.c_str(), "UTF-8", utf8, &converted, true);
    return converted;
}

bool FromTerminal(const std::string& text, std::string* acp) {
    if (g_codeset.empty())
        return pi::Utf8ToAcp(text, acp);
    std::string utf8;
    return Iconv("UTF-8", g_codeset.c_str(), text, &utf8, false) && pi::Utf8ToAcp(utf8, acp);
}

void WriteFd(int fd, const std::string& bytes) {
    size_t offset = 0;
    while (offset < bytes.size()) {
        ssize_t done = write(fd, bytes.data() + offset, bytes.size() - offset);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return;
        offset += done;
    }
}

void* WatchSignals(void*) {
    for (;;) {
        int signal = 0;
        if (sigwait(&g_watch.signals, &signal) != 0)
            continue;
        if (g_watch.stopping.load())
            return nullptr;
        if (signal == SIGINT)
            route::PostInterrupt();
        else
            route::PostStop(signal);
    }
}

} // namespace

void InitConsole() {
    setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    g_codeset = IsUtf8Codeset(codeset) ? "" : codeset;
    // A reader that went away must not kill the installer in the middle of
    // an archive rewrite: writes then simply fail.
    signal(SIGPIPE, SIG_IGN);
}

bool CanRedrawOutput() {
    const char* term = getenv("TERM");
    return isatty(STDOUT_FILENO) && term != nullptr && strcmp(term, "dumb") != 0;
}

int OutputColumns() {
    winsize size = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return 0;
    return size.ws_col;
}

bool ArgumentToAcp(const char* argument, std::string* acp) {
    return FromTerminal(argument, acp);
}

void WriteOut(const std::string& acp) {
    WriteFd(STDOUT_FILENO, ToTerminal(acp));
}
void WriteErr(const std::string& acp) {
    WriteFd(STDERR_FILENO, ToTerminal(acp));
}

LineRead ReadLine(std::string* acp) {
    // Byte by byte, so that nothing after this line is taken from a pipe.
    std::string line;
    bool any = false;
    for (;;) {
        char c = 0;
        ssize_t done = read(STDIN_FILENO, &c, 1);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            break;
        any = true;
        if (c == '\n')
            break;
        line.push_back(c);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (!any)
        return LineRead::EndOfInput;
    return FromTerminal(line, acp) ? LineRead::Read : LineRead::NoEquivalent;
}

bool WatchInterrupts(HWND window, UINT askMessage, UINT stopMessage) {
    route::RouteInterruptsTo(window, askMessage, stopMessage);
    sigemptyset(&g_watch.signals);
    sigaddset(&g_watch.signals, SIGINT);
    sigaddset(&g_watch.signals, SIGTERM);
    sigaddset(&g_watch.signals, SIGHUP);
    // Blocked here, before any other thread exists, so that every later thread
    // inherits the mask and only the watcher receives them.
    if (pthread_sigmask(SIG_BLOCK, &g_watch.signals, nullptr) != 0)
        return false;
    g_watch.running = pthread_create(&g_watch.thread, nullptr, WatchSignals, nullptr) == 0;
    return g_watch.running;
}

void StopWatchingInterrupts() {
    if (!g_watch.running)
        return;
    g_watch.stopping.store(true);
    pthread_kill(g_watch.thread, SIGTERM);
    pthread_join(g_watch.thread, nullptr);
    g_watch.running = false;
    route::StopRouting();
}

} // namespace cli
