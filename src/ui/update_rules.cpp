#include "ui/update_rules.h"

#include <cstring>

const char kSettingKey[] = "SOFTWARE\\澜屿软件有限公司\\《砚川》自动更新程序\\Setting";
const char kModuleDirValue[] = "ModuleDir";

namespace {

bool ReadStringValue(HKEY key, const char* valueName, std::string* text) {
    char buffer[MAX_PATH];
    DWORD type = 0;
    DWORD size = sizeof(buffer);
    LONG status =
        RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    // A value stored with no bytes at all is as empty as one stored as "".
    if (size == 0) {
        text->clear();
        return true;
    }
    if (size > sizeof(buffer) || buffer[size - 1] != '\0')
        return false;
    text->assign(buffer, strlen(buffer));
    return true;
}

} // namespace

bool ReadDirectoryValue(HKEY root, const char* subKey, const char* valueName, std::string* dir) {
    HKEY key = nullptr;
    // Opened for reading and writing: a key that this user may only read is
    // left alone, like a missing one.
    if (RegOpenKeyExA(root, subKey, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
        return false;
    bool ok = ReadStringValue(key, valueName, dir);
    RegCloseKey(key);
    return ok;
}

void CutTrailingBackslash(char* text) {
    size_t length = strlen(text);
    if (length > 0 && text[length - 1] == '\\')
        text[length - 1] = '\0';
}

int ClampPercent(WPARAM percent) {
    return percent > 100 ? 100 : static_cast<int>(percent);
}
