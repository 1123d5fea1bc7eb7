// What the platform halves of ChildProcess share with the common part; only
// the files of the runner include this.
#pragma once

#include "child_process.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/types.h>
#endif

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace pitest {

struct ChildProcess::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::string out, err;
    size_t lineStart = 0; // where ReadLine goes on in `out`
    bool outClosed = false;
    ArgumentText argumentText = ArgumentText::Acp;
    std::thread outReader, errReader;
#ifdef _WIN32
    PROCESS_INFORMATION process = {};
    HANDLE input = nullptr;
#else
    pid_t pid = -1;
    int input = -1;
    int status = 0;
    bool reaped = false; // WaitUntilStopped saw the end
#endif

    // What the readers call with each piece of output, and at its end.
    void Append(std::string* sink, const char* bytes, size_t count);
    void Closed(bool isOut);
    // The common end of Wait: joins the readers and fills `result`.
    void Finish(RunResult* result);
};

} // namespace pitest
