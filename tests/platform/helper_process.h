// The helper program (PI_PLATFORM_HELPER) as a second process, through the
// runner of the test-support library. Its standard input stays open until
// Finish: "hold" keeps its file open until then.
#pragma once

#include "child_process.h"

#include <string>
#include <vector>

class HelperProcess {
  public:
    // `environment` entries ("NAME=value") are added to the child's.
    explicit HelperProcess(const std::vector<std::string>& args,
                           const std::vector<std::string>& environment = {}) {
        m_child.Start(PI_PLATFORM_HELPER, args, environment, "", true);
    }

    // The next line it prints, without its line end; "" when there is none.
    std::string ReadLine() { return m_child.ReadLine(); }

    // Closes its stdin and waits for it; its exit status.
    int Finish() { return m_child.Wait().exitCode; }

  private:
    pitest::ChildProcess m_child;
};
