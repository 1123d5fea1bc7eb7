// The part of the child-process runner that is the same on every platform:
// waiting for output, the reader threads' bookkeeping and the end of a run.
// The processes themselves are started and ended in child_process_posix.cpp
// and child_process_windows.cpp.
#include "child_process_state.h"

#include <chrono>
#include <stdexcept>

namespace pitest {
namespace {

// A child built with a sanitizer exits with an ordinary failure code when it
// finds a fault; no test may take that for the failure it expects.
void FlagSanitizerReports(RunResult* result) {
    for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                               "WARNING: ThreadSanitizer", "runtime error:"})
        if (result->err.find(report) != std::string::npos)
            result->exitCode = -2;
}

} // namespace

void ChildProcess::State::Append(std::string* sink, const char* bytes, size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    sink->append(bytes, count);
    changed.notify_all();
}

void ChildProcess::State::Closed(bool isOut) {
    std::lock_guard<std::mutex> lock(mutex);
    if (isOut)
        outClosed = true;
    changed.notify_all();
}

void ChildProcess::State::Finish(RunResult* result) {
    if (outReader.joinable())
        outReader.join();
    if (errReader.joinable())
        errReader.join();
    result->out = out;
    result->err = err;
    FlagSanitizerReports(result);
}

ChildProcess::ChildProcess() : m_state(new State) {}

ChildProcess::~ChildProcess() {
    if (m_state->outReader.joinable() || m_state->errReader.joinable())
        Wait();
    delete m_state;
}

void ChildProcess::SetArgumentText(ArgumentText text) {
    m_state->argumentText = text;
}

bool ChildProcess::WaitForOutput(const std::string& text) {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    return m_state->changed.wait_for(lock, std::chrono::minutes(1), [&] {
        return m_state->out.find(text) != std::string::npos || m_state->outClosed;
    }) && m_state->out.find(text) != std::string::npos;
}

std::string ChildProcess::ReadLine() {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    State& state = *m_state;
    if (!state.changed.wait_for(lock, std::chrono::minutes(1), [&] {
            return state.out.find('\n', state.lineStart) != std::string::npos || state.outClosed;
        }))
        return "";
    const size_t end = state.out.find('\n', state.lineStart);
    if (end == std::string::npos)
        return "";
    std::string line = state.out.substr(state.lineStart, end - state.lineStart);
    state.lineStart = end + 1;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

namespace {

RunResult Run(ChildProcess& child, const std::string& program, const std::vector<std::string>& args,
              const std::vector<std::string>& env, const std::string& input) {
    if (!child.Start(program, args, env, input))
        throw std::runtime_error("cannot start " + program);
    return child.Wait();
}

} // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, const std::string& input) {
    ChildProcess child;
    return Run(child, program, args, env, input);
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     ArgumentText text) {
    ChildProcess child;
    child.SetArgumentText(text);
    return Run(child, program, args, {}, "");
}

} // namespace pitest
