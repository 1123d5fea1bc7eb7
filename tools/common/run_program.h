// Runs another program to its end, for the steps a tool hands over to one
// (signing an installer). Its standard output goes to the tool's standard
// error, so that what the tool prints on standard output stays its own.
#pragma once

#include <string>
#include <vector>

namespace pitool {

// The program's exit code; -1 when it could not be started or did not end
// normally, with `error` saying why. `program` is found on the PATH when it
// names no directory. Arguments are UTF-8.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::string* error);

} // namespace pitool
