// Runs the helper program (PI_PLATFORM_HELPER) as a second process with
// pipes on its stdin and stdout.
#pragma once

#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

class HelperProcess {
  public:
    // `environment` entries ("NAME=value") are added to this process's own.
    HelperProcess(std::vector<std::string> args, std::vector<std::string> environment = {}) {
        args.insert(args.begin(), PI_PLATFORM_HELPER);
        std::vector<char*> argv, envp;
        for (auto& arg : args)
            argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        for (char** e = environ; *e; ++e)
            envp.push_back(*e);
        for (auto& entry : environment)
            envp.push_back(&entry[0]);
        envp.push_back(nullptr);
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_stdin = in[1];
        m_stdout = fdopen(out[0], "r");
    }
    ~HelperProcess() { Finish(); }

    std::string ReadLine() {
        char line[256] = {};
        if (m_stdout == nullptr || fgets(line, sizeof line, m_stdout) == nullptr)
            return "";
        std::string text(line);
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }

    // Closes its stdin and waits for it; its exit status, or -1.
    int Finish() {
        if (m_stdin >= 0)
            close(m_stdin);
        m_stdin = -1;
        if (m_stdout != nullptr)
            fclose(m_stdout);
        m_stdout = nullptr;
        int status = -1;
        if (m_pid > 0 && waitpid(m_pid, &status, 0) == m_pid && WIFEXITED(status))
            status = WEXITSTATUS(status);
        m_pid = -1;
        return status;
    }

  private:
    pid_t m_pid = -1;
    int m_stdin = -1;
    FILE* m_stdout = nullptr;
};
