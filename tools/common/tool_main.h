// The edge between a tool and its process: arguments in, message and exit
// code out.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace pitool {

// The arguments after the program name, as UTF-8. Linux hands them over as
// bytes, which the tools take for UTF-8; on Windows they come from the wide
// command line, whatever `argv` holds (system_windows.cpp).
std::vector<std::string> ArgumentsOf(int argc, char** argv);

// Runs a tool's body, with standard output and error prepared for UTF-8
// (PrepareOutput). A ToolError ends it with "TOOL: message" on stderr and
// the error's exit code, any other exception with kExitUsageOrIo. Standard
// output is flushed first, so that the message comes after what was printed.
int RunTool(const std::string& tool, const std::vector<std::string>& args,
            const std::function<int(const std::vector<std::string>&)>& body);

} // namespace pitool
