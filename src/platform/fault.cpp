// The fault hook of the Linux platform layer: every call of a kind listed in
// fault.h passes through FaultFires first. One lock guards the counters, so
// calls from several threads are counted exactly.
#include "platform/fault.h"
#include "platform/posix_seam.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>
#include <unistd.h>

namespace pi::fault {
namespace {

const char* const kNames[] = {
    "CreateFile",        "ReadFile",        "WriteFile",
    "SetFilePointer",    "GetFileSize",     "FlushFileBuffers",
    "SetFileTime",       "CloseHandle",     "GetFileAttributes",
    "SetFileAttributes", "DeleteFile",      "MoveFile",
    "MoveFileEx",        "CreateDirectory", "GetModuleFileName",
    "GetTempFileName",   "GetTempPath",     "InitializeCriticalSection",
    "BeginThread",       "PostMessage",     "FindFirstFile",
    "FindNextFile",      "DuplicateHandle", "any",
};
const unsigned kKinds = static_cast<unsigned>(Call::Count) + 1;
static_assert(sizeof kNames / sizeof kNames[0] == kKinds, "one name per call kind");

struct State {
    std::mutex mutex;
    bool armed = false;
    Call call = Call::Any;
    unsigned nth = 0;
    DWORD error = 0;
    bool forever = false;
    unsigned counts[kKinds] = {};
    unsigned fired = 0;
    bool tracing = false;
    std::vector<Call> trace;
    // The stops of PI_CRASH_AT, PI_PAUSE_AT and PI_POWERCUT_AT count the
    // process's calls from its start; Arm and Disarm do not reset this.
    unsigned processCalls = 0;
    unsigned crashAt = 0;
    unsigned pauseAt = 0;
    unsigned powerCutAt = 0;
    bool freeSpaceForced = false;
    uint64_t freeSpace = 0;
};

State& Faults() {
    static State* state = new State; // used by calls made during static destruction
    return *state;
}

void ResetLocked(State& state) {
    state.armed = false;
    memset(state.counts, 0, sizeof state.counts);
    state.fired = 0;
    state.trace.clear();
}

void ArmLocked(State& state, Call call, unsigned n, DWORD error, bool forever) {
    ResetLocked(state);
    state.armed = true;
    state.call = call;
    state.nth = n == 0 ? 1 : n;
    state.error = error;
    state.forever = forever;
}

// PI_FAULT=<call|any>:<n>:<error>[:forever]; a malformed value is reported
// and ignored.
void ArmFromEnvironment() {
    const char* value = getenv("PI_FAULT");
    if (value == nullptr || *value == '\0')
        return;
    char name[64];
    unsigned n = 0;
    unsigned long error = 0;
    char flag[16] = "";
    int fields = sscanf(value, "%63[^:]:%u:%lu:%15s", name, &n, &error, flag);
    Call call;
    bool forever = strcmp(flag, "forever") == 0;
    if (fields < 3 || !ParseCall(name, &call) || (fields == 4 && !forever)) {
        fprintf(stderr, "PI_FAULT ignored: %s\n", value);
        return;
    }
    State& state = Faults();
    std::lock_guard<std::mutex> lock(state.mutex);
    ArmLocked(state, call, n, static_cast<DWORD>(error), forever);
}

// A positive call number from the environment; 0 when unset or malformed.
unsigned CallNumberFromEnvironment(const char* name) {
    const char* value = getenv(name);
    if (value == nullptr || *value == '\0')
        return 0;
    char* end = nullptr;
    unsigned long n = strtoul(value, &end, 10);
    if (*end != '\0' || n == 0 || n > 0xFFFFFFFFul) {
        fprintf(stderr, "%s ignored: %s\n", name, value);
        return 0;
    }
    return static_cast<unsigned>(n);
}

void ReadFreeSpaceFromEnvironment() {
    const char* value = getenv("PI_FREE_SPACE");
    if (value == nullptr || *value == '\0')
        return;
    char* end = nullptr;
    const unsigned long long bytes = strtoull(value, &end, 10);
    if (*end != '\0') {
        fprintf(stderr, "PI_FREE_SPACE ignored: %s\n", value);
        return;
    }
    Faults().freeSpaceForced = true;
    Faults().freeSpace = bytes;
}

void ReadStopsFromEnvironment() {
    State& state = Faults();
    state.crashAt = CallNumberFromEnvironment("PI_CRASH_AT");
    state.pauseAt = CallNumberFromEnvironment("PI_PAUSE_AT");
    unsigned powerCutAt = CallNumberFromEnvironment("PI_POWERCUT_AT");
    if (powerCutAt != 0 && pi::posix::StartPowerCutModel(getenv("PI_POWERCUT_DIR")))
        state.powerCutAt = powerCutAt;
}

// The environment is read once, before the first call or hook use.
State& ReadyFaults() {
    static std::once_flag once;
    std::call_once(once, [] {
        ArmFromEnvironment();
        ReadStopsFromEnvironment();
        ReadFreeSpaceFromEnvironment();
    });
    return Faults();
}

enum class Stop { None, Crash, Pause, PowerCut };

Stop StopAt(const State& state) {
    unsigned n = state.processCalls;
    if (n == state.crashAt)
        return Stop::Crash;
    if (n == state.powerCutAt)
        return Stop::PowerCut;
    return n == state.pauseAt ? Stop::Pause : Stop::None;
}

bool Matches(const State& state, Call call) {
    if (!state.armed || (state.call != Call::Any && state.call != call))
        return false;
    unsigned count = state.counts[static_cast<unsigned>(state.call)];
    return count == state.nth || (state.forever && count > state.nth);
}

} // namespace

const char* CallName(Call call) {
    unsigned index = static_cast<unsigned>(call);
    return index < kKinds ? kNames[index] : "?";
}

bool ParseCall(const char* name, Call* call) {
    for (unsigned i = 0; i < kKinds; ++i) {
        if (strcasecmp(name, kNames[i]) == 0) {
            *call = static_cast<Call>(i);
            return true;
        }
    }
    return false;
}

void Arm(Call call, unsigned n, DWORD error, bool forever) {
    State& state = ReadyFaults();
    std::lock_guard<std::mutex> lock(state.mutex);
    ArmLocked(state, call, n, error, forever);
}

void Disarm() {
    State& state = ReadyFaults();
    std::lock_guard<std::mutex> lock(state.mutex);
    ResetLocked(state);
}

unsigned CallCount(Call call) {
    State& state = ReadyFaults();
    std::lock_guard<std::mutex> lock(state.mutex);
    unsigned index = static_cast<unsigned>(call);
    return index < kKinds ? state.counts[index] : 0;
}

unsigned FiredCount() {
    State& state = ReadyFaults();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.fired;
}

void Trace(bool on) {
    State& state = ReadyFaults();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.tracing = on;
    state.trace.clear();
}

std::vector<Call> TracedCalls() {
    State& state = ReadyFaults();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.trace;
}

} // namespace pi::fault

namespace pi::posix {

bool ForcedFreeSpace(uint64_t* bytes) {
    const fault::State& state = fault::ReadyFaults();
    *bytes = state.freeSpace;
    return state.freeSpaceForced;
}

bool FaultFires(fault::Call call) {
    fault::State& state = fault::ReadyFaults();
    DWORD error;
    {
        std::unique_lock<std::mutex> lock(state.mutex);
        state.counts[static_cast<unsigned>(call)] += 1;
        state.counts[static_cast<unsigned>(fault::Call::Any)] += 1;
        state.processCalls += 1;
        if (state.tracing)
            state.trace.push_back(call);
        switch (fault::StopAt(state)) {
        case fault::Stop::Crash:
            _exit(fault::kCrashExitCode);
        case fault::Stop::PowerCut:
            // The lock stays held: no other thread gets into the layer while
            // the tree is put back.
            CutPower();
            _exit(fault::kPowerCutExitCode);
        case fault::Stop::Pause:
            lock.unlock();
            raise(SIGSTOP);
            lock.lock();
            break;
        case fault::Stop::None:
            break;
        }
        if (!fault::Matches(state, call))
            return false;
        state.fired += 1;
        error = state.error;
    }
    SetLastError(error);
    return true;
}

} // namespace pi::posix
