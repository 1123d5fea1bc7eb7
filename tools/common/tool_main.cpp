#include "tool_main.h"

#include "system.h"
#include "tool_error.h"

#include <cstdio>
#include <exception>

namespace pitool {

void ThrowToolError(int exitCode, const std::string& message) {
    throw ToolError{exitCode, message};
}

int RunTool(const std::string& tool, const std::vector<std::string>& args,
            const std::function<int(const std::vector<std::string>&)>& body) {
    PrepareOutput();
    std::string message;
    int exitCode;
    try {
        return body(args);
    } catch (const ToolError& error) {
        message = error.message;
        exitCode = error.exitCode;
    } catch (const std::exception& error) {
        message = error.what();
        exitCode = kExitUsageOrIo;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "%s: %s\n", tool.c_str(), message.c_str());
    return exitCode;
}

} // namespace pitool
