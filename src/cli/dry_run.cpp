#include "cli/dry_run.h"

#include "cli/console.h"
#include "patch/dry_run.h"
#include "patch/extracted_package.h"
#include "platform/win32.h"

namespace cli {

int RunDryRun(const std::string& gameDir) {
    char installer[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, installer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        WriteErr("cannot find the installer's own file\n");
        return kDryRunFailed;
    }
    ExtractedPackage package;
    std::string problem;
    if (!package.Extract(installer, &problem)) {
        WriteErr(problem + "\n");
        return kDryRunFailed;
    }
    UpdatePlan plan;
    PlanUpdate(package.GetManifest(), package.Payload(), gameDir, &plan);
    WriteOut("dry run against " + gameDir + " (nothing there is changed):\n" + DescribePlan(plan));
    switch (plan.GetOutcome()) {
    case UpdatePlan::NoChange:
        return kDryRunNoChange;
    case UpdatePlan::Changes:
        return kDryRunChanges;
    case UpdatePlan::Unusable:
        break;
    }
    WriteErr((plan.failure.empty() ? plan.damage.front() : plan.failure) + "\n");
    return kDryRunFailed;
}

} // namespace cli
