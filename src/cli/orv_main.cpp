// The terminal installer: the update dialog's flow on a terminal. It takes the
// game directory from the command line (or asks for it), runs the patch job
// on its worker thread and shows what the job posts: the current item, the
// two percentages and the result. Ctrl-C asks before it cancels the job.

#include "cli/console.h"
#include "cli/dry_run.h"
#include "cli/progress_display.h"
#include "pak/pak_manager.h"
#include "patch/progress.h"
#include "patch/update_thread.h"
#include "platform/codepage.h"
#include "platform/message_window.h"

#include <cstring>
#include <string>

namespace {

constexpr int kExitUpdated = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitCancelled = 130; // what a shell reports for Ctrl-C

constexpr UINT WM_CLI_INTERRUPT = WM_APP + 1; // Ctrl-C: ask, then cancel
constexpr UINT WM_CLI_STOP = WM_APP + 2;      // termination request: cancel at once

const char kAskDirectory[] = "请选择《砚川》客户端安装目录: ";
const char kNoDirectory[] = "请指定游戏目录!";
const char kExtracting[] = "正在解压源文件......";
const char kNoThread[] = "创建线程失败，请先关闭其他程序，重新运行";
const char kUpdated[] = "更新成功!";
const char kFailed[] = "更新失败！可能源文件错误或IO失败！。";
const char kAskCancel[] = "确定的要取消更新吗？";
const char kCancelled[] = "cancelled";
const char kNoAnswer[] = "(no answer can be read: Ctrl-C again cancels the update)";

std::string ProgramName(const char* argv0) {
    std::string path = argv0 ? argv0 : "orv";
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void PrintUsage(const std::string& program) {
    cli::WriteOut("usage: " + program +
                  " [--dry-run] [GAME_DIR]\n"
                  "Applies the patch that this program carries to the game directory\n"
                  "GAME_DIR, which is asked for when it is not given. Ctrl-C asks whether\n"
                  "to cancel the update.\n"
                  "Exit status: 0 updated, 1 update failed, 2 usage or start-up error,\n"
                  "130 cancelled.\n"
                  "\n"
                  "--dry-run  changes nothing: prints each file the update would create or\n"
                  "           overwrite with other bytes, each archive it would rewrite with\n"
                  "           the sub-files it would add or replace, and each it would leave.\n"
                  "           Exit status: 0 no byte would change, 2 something would, 1 the\n"
                  "           installer is damaged or the directory cannot be read.\n");
}

// `--dry-run` before any "--": every failure, bad usage too, then exits 1.
bool AsksForDryRun(int argc, char** argv) {
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i)
        if (strcmp(argv[i], "--dry-run") == 0)
            return true;
    return false;
}

// Cuts one trailing separator, looking at the last character rather than the
// last byte: the second byte of a GBK character can be 0x5C. A lone "/" or
// "\" stays, so that the root directory remains a directory.
void CutTrailingSeparator(std::string* dir) {
    size_t last = std::string::npos;
    for (size_t i = 0; i < dir->size();) {
        last = i;
        i += (pi::IsLeadByte((unsigned char)(*dir)[i]) && i + 1 < dir->size()) ? 2 : 1;
    }
    if (last + 1 == dir->size() && dir->size() > 1 && ((*dir)[last] == '\\' || (*dir)[last] == '/'))
        dir->pop_back();
}

// The game directory in the system code page, from the command line or the
// terminal. False with `exitCode` set when the program is to end here.
bool GetGameDir(int argc, char** argv, std::string* dir, int* exitCode) {
    const std::string program = ProgramName(argc > 0 ? argv[0] : nullptr);
    const char* given = nullptr;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (options && strcmp(arg, "--") == 0) {
            options = false;
        } else if (options && (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0)) {
            PrintUsage(program);
            *exitCode = kExitUpdated;
            return false;
        } else if (options && strcmp(arg, "--dry-run") == 0) {
            continue;
        } else if (options && arg[0] == '-' && arg[1] != '\0') {
            cli::WriteErr(program + ": unknown option " + arg + "\n");
            *exitCode = kExitUsage;
            return false;
        } else if (given != nullptr) {
            cli::WriteErr(program + ": only one game directory may be given\n");
            *exitCode = kExitUsage;
            return false;
        } else {
            given = arg;
        }
    }
    bool converted = true;
    if (given != nullptr) {
        converted = cli::ArgumentToAcp(given, dir);
    } else {
        cli::WriteOut(kAskDirectory);
        cli::LineRead read = cli::ReadLine(dir);
        if (read == cli::LineRead::EndOfInput)
            dir->clear();
        converted = read != cli::LineRead::NoEquivalent;
    }
    if (!converted) {
        cli::WriteErr(program + ": the directory name has no equivalent in code page 936\n");
        *exitCode = kExitUsage;
        return false;
    }
    return true;
}

u32 ClampPercent(WPARAM value) {
    return value > 100 ? 100 : (u32)value;
}

int ReportResult(const CUpdateThread& job, cli::ProgressDisplay& display) {
    display.SetStatus("");
    if (job.GetResult()) {
        display.PrintLine(kUpdated);
        return kExitUpdated;
    }
    display.PrintLine(kFailed);
    if (!job.GetFailureReason().empty())
        cli::WriteErr(job.GetFailureReason() + "\n");
    return kExitFailed;
}

int CancelJob(CUpdateThread& job, HWND window, cli::ProgressDisplay& display) {
    job.Cancel();
    // A job that ended before it saw the flag has posted its end: its result
    // stands, and saying "cancelled" would hide what it did.
    MSG msg;
    if (PeekMessageA(&msg, window, WM_PATCH_DONE, WM_PATCH_DONE, PM_REMOVE))
        return ReportResult(job, display);
    display.PrintLine(kCancelled);
    return kExitCancelled;
}

int RunJob(HWND window, const std::string& dir, cli::ProgressDisplay& display) {
    CUpdateThread job;
    job.SetModuleDir(dir);
    display.SetStatus(kExtracting);
    if (!job.Start()) {
        display.SetStatus(" ");
        cli::WriteErr(std::string(kNoThread) + "\n");
        return kExitUsage;
    }
    typedef cli::ProgressDisplay::Answer Answer;
    bool unanswerable = false;
    for (;;) {
        MSG msg;
        BOOL got = GetMessageA(&msg, window, 0, 0);
        if (got == 0 || got == -1) {
            cli::WriteErr("the message queue failed; the update is cancelled\n");
            job.Cancel();
            return kExitFailed;
        }
        switch (msg.message) {
        case WM_PATCH_ITEM_NAME:
            display.SetStatus(GetCurrentItemName());
            break;
        case WM_PATCH_ITEM_PROGRESS:
            display.SetItemPercent(ClampPercent(msg.wParam));
            break;
        case WM_PATCH_OVERALL_PROGRESS:
            display.SetOverallPercent(ClampPercent(msg.wParam));
            break;
        case WM_PATCH_DONE:
            return ReportResult(job, display);
        case WM_CLI_INTERRUPT: {
            // Without an input to answer from, a second Ctrl-C is the answer.
            Answer answer = unanswerable ? Answer::Yes : display.AskYesNo(kAskCancel);
            if (answer == Answer::Unreadable) {
                unanswerable = true;
                display.PrintLine(kNoAnswer);
            }
            cli::AcknowledgeInterrupt();
            if (answer == Answer::Yes)
                return CancelJob(job, window, display);
            break;
        }
        case WM_CLI_STOP:
            return CancelJob(job, window, display);
        default:
            break;
        }
    }
}

int RunInstaller(const std::string& dir) {
    HWND window = pi::CreateMessageWindow();
    if (window == nullptr) {
        cli::WriteErr("cannot create the message queue\n");
        return kExitUsage;
    }
    g_hMainDlg = window;
    cli::ProgressDisplay display(cli::CanRedrawOutput());
    int code = kExitUsage;
    if (cli::WatchInterrupts(window, WM_CLI_INTERRUPT, WM_CLI_STOP))
        code = RunJob(window, dir, display);
    else
        cli::WriteErr("cannot watch for Ctrl-C\n");
    // The job object is gone and its worker has ended: nothing posts any more.
    cli::StopWatchingInterrupts();
    g_hMainDlg = nullptr;
    pi::DestroyMessageWindow(window);
    return code;
}

} // namespace

int main(int argc, char** argv) {
    cli::InitConsole();
    std::string dir;
    int exitCode = kExitUsage;
    const bool dryRun = AsksForDryRun(argc, argv);
    if (!GetGameDir(argc, argv, &dir, &exitCode))
        return dryRun && exitCode != kExitUpdated ? cli::kDryRunFailed : exitCode;
    if (dir.empty()) {
        cli::WriteErr(std::string(kNoDirectory) + "\n");
        return dryRun ? cli::kDryRunFailed : kExitUsage;
    }
    CutTrailingSeparator(&dir);
    if (dryRun)
        return cli::RunDryRun(dir);
    if (!InitPakUpdateLock())
        return kExitUsage;
    exitCode = RunInstaller(dir);
    DeletePakUpdateLock();
    return exitCode;
}
