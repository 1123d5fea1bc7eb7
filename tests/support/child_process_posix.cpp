// The child-process runner on Linux: posix_spawn with three pipes, the
// environment the tests expect, signals for interrupting, stopping and
// killing, and waitpid.
#include "child_process_state.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pitest {
namespace {

bool Named(const std::string& entry, const char* name) {
    return entry.compare(0, strlen(name), name) == 0;
}

// Plain C locale unless the test asks otherwise: the installer then prints
// UTF-8. No test hook of the platform layer unless the test sets one.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env = extra;
    if (std::none_of(env.begin(), env.end(),
                     [](const std::string& e) { return Named(e, "LC_ALL="); }))
        env.push_back("LC_ALL=C");
    auto overridden = [&](const std::string& entry) {
        if (Named(entry, "PI_") || Named(entry, "LANG=") || Named(entry, "LC_"))
            return true;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        return std::any_of(env.begin(), env.end(),
                           [&](const std::string& own) { return Named(own, name.c_str()); });
    };
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (!overridden(*entry))
            env.push_back(*entry);
    return env;
}

void Drain(int fd, ChildProcess::State* state, std::string* sink, bool isOut) {
    char buffer[4096];
    for (;;) {
        const ssize_t done = read(fd, buffer, sizeof buffer);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            break;
        state->Append(sink, buffer, static_cast<size_t>(done));
    }
    close(fd);
    state->Closed(isOut);
}

int StatusCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::string& input,
                         bool keepInputOpen) {
    signal(SIGPIPE, SIG_IGN); // a child that ends early must not end the test
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> argStrings = {program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = ChildEnvironment(env);
    std::vector<char*> argv, envp;
    for (std::string& arg : argStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (std::string& entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int spawned = posix_spawn(&m_state->pid, program.c_str(), &actions, &attributes,
                                    argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (spawned == 0 && !input.empty())
        (void)!write(in[1], input.data(), input.size());
    m_state->input = in[1];
    if (spawned != 0 || !keepInputOpen)
        CloseInput();
    if (spawned != 0) {
        m_state->pid = -1;
        close(out[0]);
        close(err[0]);
        return false;
    }
    State* state = m_state;
    const int outFd = out[0], errFd = err[0];
    m_state->outReader = std::thread([=] { Drain(outFd, state, &state->out, true); });
    m_state->errReader = std::thread([=] { Drain(errFd, state, &state->err, false); });
    return true;
}

void ChildProcess::CloseInput() {
    if (m_state->input >= 0)
        close(m_state->input);
    m_state->input = -1;
}

bool ChildProcess::Interrupt() {
    return m_state->pid > 0 && kill(m_state->pid, SIGINT) == 0;
}

bool ChildProcess::WaitUntilStopped() {
    if (m_state->pid <= 0 || m_state->reaped)
        return false;
    int status = 0;
    while (waitpid(m_state->pid, &status, WUNTRACED) < 0 && errno == EINTR) {
    }
    if (WIFSTOPPED(status))
        return true;
    m_state->status = status;
    m_state->reaped = true;
    return false;
}

void ChildProcess::Continue() {
    if (m_state->pid > 0 && !m_state->reaped)
        kill(m_state->pid, SIGCONT);
}

void ChildProcess::Kill() {
    if (m_state->pid > 0 && !m_state->reaped)
        kill(m_state->pid, SIGKILL);
}

RunResult ChildProcess::Wait() {
    RunResult result;
    CloseInput();
    if (m_state->pid <= 0)
        return result;
    int status = m_state->status;
    if (!m_state->reaped)
        while (waitpid(m_state->pid, &status, 0) < 0 && errno == EINTR) {
        }
    m_state->pid = -1;
    m_state->reaped = false;
    result.exitCode = StatusCode(status);
    m_state->Finish(&result);
    return result;
}

} // namespace pitest
