// The one way the tests run another program: a child process with piped
// standard streams, each drained by a thread of its own so that a child
// never blocks on a full pipe while the test waits for something else.
//
// Two runners stay apart for a reason of their own: the window tests start
// the dialog installer as a person would, with no pipes and no console of
// the test's (tests/ui/gui_driver.h), and the reliability sweeps fork the
// test program itself to run the job in-process with a fault armed
// (tests/reliability/reliability_support.cpp).
#pragma once

#include <string>
#include <vector>

namespace pitest {

// How a Windows child receives its arguments and program name: converted
// from the ANSI code page, like every narrow string of the system (the
// installer's tests), or from UTF-8 (the tools' command lines, whose names
// may hold what that code page cannot spell). Linux hands the bytes over
// either way.
enum class ArgumentText { Acp, Utf8 };

struct RunResult {
    int exitCode = -1; // 128 + the signal that ended it; -2: a sanitizer report
    std::string out;
    std::string err;
};

class ChildProcess {
  public:
    ChildProcess();
    // Waits for a child that is still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // For the next Start; ArgumentText::Acp until then.
    void SetArgumentText(ArgumentText text);

    // A program named by a Unix path (as CMake gives it a cross-built test)
    // is found under wine's drive Z:. `env` adds or replaces NAME=VALUE
    // entries. On Linux the child runs in
    // the C locale unless `env` sets LC_ALL, and with none of the parent's
    // PI_ settings (no test hook armed unless the test arms one); Windows
    // children get the parent's environment as it is. `input` is written to
    // the child's standard input, which is then closed unless `keepInputOpen`
    // (then CloseInput or Wait closes it).
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {}, const std::string& input = "",
               bool keepInputOpen = false);
    void CloseInput();

    // Waits (up to a minute, as a safety net) until standard output holds
    // `text`.
    bool WaitForOutput(const std::string& text);
    // The next line of standard output without its line end, once it is
    // whole; "" when the output ends first or after a minute.
    std::string ReadLine();

    // Ctrl-C on Linux (SIGINT), Ctrl-Break on Windows. False if it cannot be
    // sent.
    bool Interrupt();
#ifndef _WIN32
    // Waits until the child is stopped by a signal (true) or has ended
    // (false; Wait then gives its status).
    bool WaitUntilStopped();
    // SIGCONT, SIGKILL.
    void Continue();
    void Kill();
#endif
    // Closes standard input, waits for the end and for every byte of output.
    RunResult Wait();

    struct State; // the pipes' readers share it

  private:
    State* m_state;
};

// Starts `program` (the test fails with an exception when it cannot) and
// waits for it.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {}, const std::string& input = "");
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     ArgumentText text);

} // namespace pitest
