// Which programs hold a file, as the Restart Manager tells.
#include "platform/file_holders.h"

#include "platform/win32.h"

#include <restartmanager.h>

#include <string>
#include <vector>

namespace pi {
namespace {

std::wstring Wide(const char* text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(length > 0 ? length : 1, L'\0');
    if (length <= 0 || MultiByteToWideChar(CP_ACP, 0, text, -1, &wide[0], length) != length)
        return std::wstring();
    wide.resize(length - 1);
    return wide;
}

std::string Narrow(const WCHAR* text) {
    const int length = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(length > 0 ? length : 1, '\0');
    if (length <= 0 ||
        WideCharToMultiByte(CP_ACP, 0, text, -1, &narrow[0], length, nullptr, nullptr) != length)
        return std::string();
    narrow.resize(length - 1);
    return narrow;
}

std::string Describe(const std::vector<RM_PROCESS_INFO>& processes) {
    std::string names;
    for (const RM_PROCESS_INFO& process : processes) {
        if (process.Process.dwProcessId == GetCurrentProcessId())
            continue;
        if (!names.empty())
            names += ", ";
        names += Narrow(process.strAppName) + " (process " +
                 std::to_string(process.Process.dwProcessId) + ")";
    }
    return names;
}

} // namespace

std::string NameFileHolders(const char* path) {
    std::wstring file = Wide(path);
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (file.empty() || RmStartSession(&session, 0, key) != ERROR_SUCCESS)
        return std::string();
    std::string names;
    LPCWSTR files[] = {file.c_str()};
    UINT needed = 0, count = 0;
    DWORD reasons = 0;
    std::vector<RM_PROCESS_INFO> processes;
    if (RmRegisterResources(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS) {
        // The list may grow between the two calls: asked again, a few times.
        for (int round = 0; round < 3; ++round) {
            count = static_cast<UINT>(processes.size());
            const DWORD result = RmGetList(
                session, &needed, &count, processes.empty() ? nullptr : processes.data(), &reasons);
            if (result == ERROR_SUCCESS) {
                processes.resize(count);
                names = Describe(processes);
                break;
            }
            if (result != ERROR_MORE_DATA)
                break;
            processes.resize(needed);
        }
    }
    RmEndSession(session);
    return names;
}

} // namespace pi
