// What paktool and mkpatch share at their edges: the exit codes they agree
// on, and the error a tool throws to end with a message and an exit code.
#pragma once

#include <string>

namespace pitool {

// Both tools: 0 done, 2 a usage mistake or a file that cannot be read or
// written. Each tool gives 1 its own meaning (and mkpatch's `inspect
// --against` gives 2 another).
constexpr int kExitOk = 0;
constexpr int kExitUsageOrIo = 2;

// Thrown at the first problem; RunTool prints it and exits with its code.
struct ToolError {
    int exitCode;
    std::string message; // UTF-8
};

[[noreturn]] void ThrowToolError(int exitCode, const std::string& message);

} // namespace pitool
