// The installer in a real window: an installer is built from Orv.exe, started,
// and driven through its dialog, its message boxes and its folder picker.
// Run by run-gui-tests.sh, which provides the X display.
#include "gui_driver.h"
#include "ui_test_support.h"

#include "patch/package_writer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const char kTitle[] = "《砚川》更新";
const char kSettingKey[] = "SOFTWARE\\澜屿软件有限公司\\《砚川》自动更新程序\\Setting";

constexpr int kModuleDir = 1000;
constexpr int kFileProgress = 1001;
constexpr int kTotalProgress = 1002;
constexpr int kBrowse = 1003;
constexpr int kStatus = 1004;
constexpr int kCancelButton = 1005;
constexpr int kBrowseTree = 14145;
constexpr int kBrowseStatus = 14147;
constexpr int kBrowseEdit = 14148;

void SetModuleDirValue(const std::string& dir) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSettingKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "ModuleDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(dir.c_str()),
                   static_cast<DWORD>(dir.size() + 1));
    RegCloseKey(key);
}

void DeleteModuleDirValue() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, "ModuleDir");
        RegCloseKey(key);
    }
}

// Without a window manager wine draws the window frames itself only when
// told to; the screenshots should show the caption.
void LetWineDrawFrames() {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\Wine\\X11 Driver", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
        RegSetValueExA(key, "Decorated", 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
        RegCloseKey(key);
    }
}

bool HasTemporaryPackage(const std::string& dir) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\qv*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    FindClose(search);
    return true;
}

std::string Contents(const std::string& path) {
    std::string bytes;
    return ReadFile(path, &bytes) ? bytes : "<missing>";
}

class InstallerWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { LetWineDrawFrames(); }

    void SetUp() override {
        const char* noDisplay = getenv("PI_UI_NO_DISPLAY");
        if (noDisplay && *noDisplay)
            GTEST_SKIP() << noDisplay;
        m_game = m_scratch.Path() + "\\game";
        ASSERT_TRUE(CreateDirectoryA(m_game.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA((m_scratch.Path() + "\\src").c_str(), nullptr));
    }

    void TearDown() override { DeleteModuleDirValue(); }

    std::string Source(const std::string& name, const std::string& bytes) {
        std::string path = m_scratch.Path() + "\\src\\" + name;
        EXPECT_TRUE(WriteFile(path, bytes));
        return path;
    }

    PackageFile Describe(const std::string& path, const std::string& name) {
        PackageFile file;
        std::string error;
        EXPECT_TRUE(DescribePlainFile(path.c_str(), name, &file, &error)) << error;
        return file;
    }

    std::string BuildInstaller(const PackageContents& contents) {
        std::string output = m_scratch.Path() + "\\patch.exe";
        std::string stub = WindowsPathOf(ORV_EXE);
        std::string error;
        EXPECT_TRUE(WritePackage(stub.c_str(), contents, output.c_str(), 6, nullptr, &error))
            << error;
        return output;
    }

    // Two loose files and an archive of two sub-files.
    PackageContents SmallPatch() {
        PackageContents contents;
        contents.looseFiles.push_back(
            Describe(Source("readme.txt", "砚川 patch notes\n"), "readme.txt"));
        contents.looseFiles.push_back(
            Describe(Source("b.bin", std::string(50000, '\x5A')), "bin\\b.bin"));
        PackagePak pak;
        pak.name = "data\\res.pak";
        pak.files.push_back(Describe(Source("s1.dat", "first"), "s1.dat"));
        pak.files.push_back(Describe(Source("s2.dat", std::string(9000, 'q')), "dir\\s2.dat"));
        pak.stamp = pak.files[0].stamp;
        contents.paks.push_back(pak);
        return contents;
    }

    // Enough loose files that a job still runs when the test cancels it. A
    // job of 20000 went through in 50 seconds on a fast machine, about the
    // time the test takes to get there, so this keeps a wide margin.
    static constexpr int kLongPatchItems = 100000;

    PackageContents LongPatch() {
        PackageFile one = Describe(Source("one.txt", "1234"), "");
        PackageContents contents;
        for (int i = 0; i < kLongPatchItems; ++i) {
            char name[64];
            snprintf(name, sizeof(name), "many\\%02d\\f%05d.txt", i / 1000, i);
            one.name = name;
            contents.looseFiles.push_back(one);
        }
        return contents;
    }

    HWND StartInstaller(const std::string& installer) {
        EXPECT_TRUE(m_process.Start(installer));
        HWND dialog = nullptr;
        EXPECT_TRUE(
            WaitUntil([&] { return (dialog = FindUpdateDialog(m_process.Id())) != nullptr; }));
        return dialog;
    }

    // Waits for a message box and returns it with its text.
    HWND WaitForBox(std::string* text) {
        HWND box = nullptr;
        EXPECT_TRUE(WaitUntil([&] { return (box = FindMessageBox(m_process.Id())) != nullptr; }));
        *text = box ? MessageBoxText(box) : "";
        return box;
    }

    // Opens the folder picker and waits until it shows the dialog's directory.
    // The browse window is shown only after its initialisation, in which the
    // initial folder is selected, so an empty edit box means the shell did not
    // take the selection. Wine's shell sometimes does not on the first browse
    // of a session; the picker is then opened once more.
    HWND OpenFolderPicker(HWND dialog) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            Click(dialog, kBrowse);
            HWND picker = nullptr;
            if (!WaitUntil([&] { return (picker = FindFolderBrowser(m_process.Id())) != nullptr; }))
                return nullptr;
            std::string shown = ControlText(picker, kBrowseEdit);
            if (shown == ControlText(dialog, kModuleDir))
                return picker;
            EXPECT_EQ(shown, "") << "the picker shows another folder";
            Click(picker, IDCANCEL);
            WaitUntil([&] { return !IsWindow(picker); });
        }
        ADD_FAILURE() << "the picker did not select the initial folder";
        return nullptr;
    }

    void CloseWithDoneButton(HWND dialog) {
        EXPECT_TRUE(WaitUntil([&] { return ControlText(dialog, kCancelButton) == "完成"; }));
        Click(dialog, kCancelButton);
        EXPECT_TRUE(m_process.WaitForExit());
    }

    ScratchDir m_scratch;
    std::string m_game;
    TestProcess m_process;
};

TEST_F(InstallerWindowTest, AppliesAPatchAndReportsSuccess) {
    std::string installer = BuildInstaller(SmallPatch());
    SetModuleDirValue(m_game + "\\");
    HWND dialog = StartInstaller(installer);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(WindowText(dialog), kTitle);
    // Shown as stored, with its trailing backslash.
    EXPECT_EQ(ControlText(dialog, kModuleDir), m_game + "\\");
    EXPECT_EQ(ControlText(dialog, kStatus), " ");
    EXPECT_EQ(ControlText(dialog, IDOK), "开始更新");
    EXPECT_EQ(ControlText(dialog, kCancelButton), "取消");
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(dialog, kModuleDir), GWL_STYLE) & ES_READONLY);
    Screenshot(dialog, "dialog-idle");

    Click(dialog, IDOK);
    std::string text;
    HWND box = WaitForBox(&text);
    ASSERT_TRUE(box);
    EXPECT_EQ(text, "更新成功!");
    EXPECT_EQ(GetWindow(box, GW_OWNER), dialog);
    Screenshot(box, "result-success");
    Click(box, IDOK);

    EXPECT_TRUE(WaitUntil([&] { return ControlText(dialog, kCancelButton) == "完成"; }));
    EXPECT_FALSE(IsControlEnabled(dialog, IDOK));
    EXPECT_EQ(ControlText(dialog, kStatus), "");
    EXPECT_EQ(ProgressPosition(dialog, kTotalProgress), 100);
    EXPECT_EQ(FocusedWindow(dialog), GetDlgItem(dialog, kCancelButton));
    Screenshot(dialog, "dialog-finished");

    EXPECT_EQ(Contents(m_game + "\\readme.txt"), "砚川 patch notes\n");
    EXPECT_EQ(Contents(m_game + "\\bin\\b.bin"), std::string(50000, '\x5A'));
    EXPECT_EQ(Contents(m_game + "\\data\\res.pak").substr(0, 4), "!PAK");
    EXPECT_FALSE(HasTemporaryPackage(m_game));

    // "完成" closes without a question.
    Click(dialog, kCancelButton);
    EXPECT_TRUE(m_process.WaitForExit());
    // The program keeps no settings of its own.
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\TallwynClient_Patch", 0, KEY_READ, &key),
              ERROR_SUCCESS);
}

TEST_F(InstallerWindowTest, ReportsADamagedInstaller) {
    std::string installer = BuildInstaller(SmallPatch());
    std::string bytes;
    ASSERT_TRUE(ReadFile(installer, &bytes));
    std::string stub;
    ASSERT_TRUE(ReadFile(WindowsPathOf(ORV_EXE), &stub));
    for (size_t i = stub.size(); i < stub.size() + 64 && i < bytes.size() - 8; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x55);
    ASSERT_TRUE(WriteFile(installer, bytes));
    SetModuleDirValue(m_game);

    HWND dialog = StartInstaller(installer);
    ASSERT_TRUE(dialog);
    Click(dialog, IDOK);
    std::string text;
    HWND box = WaitForBox(&text);
    ASSERT_TRUE(box);
    EXPECT_EQ(text, "更新失败！可能源文件错误或IO失败！。");
    Screenshot(box, "result-failure");
    Click(box, IDOK);
    CloseWithDoneButton(dialog);

    EXPECT_FALSE(Exists(m_game + "\\readme.txt"));
    EXPECT_FALSE(HasTemporaryPackage(m_game));
    // The box's text is fixed; why it failed is in the log beside the installer.
    EXPECT_NE(Contents(m_scratch.Path() + "\\patch.log").find("Update failed"), std::string::npos);
}

TEST_F(InstallerWindowTest, CancelsOnlyAfterConfirmation) {
    std::string installer = BuildInstaller(LongPatch());
    SetModuleDirValue(m_game);
    HWND dialog = StartInstaller(installer);
    ASSERT_TRUE(dialog);
    Click(dialog, IDOK);
    // Running: the start button is gone for good and items are being applied.
    ASSERT_TRUE(WaitUntil([&] {
        return !IsControlEnabled(dialog, IDOK) &&
               ControlText(dialog, kStatus).find("many") != std::string::npos;
    }));
    // The start button gave its focus to the cancel button, so Enter asks too.
    // (Early on: keys queue behind the job's messages, which a slow display
    // falls behind on.)
    EXPECT_EQ(FocusedWindow(dialog), GetDlgItem(dialog, kCancelButton));
    PressEnter(dialog);
    std::string text;
    HWND box = WaitForBox(&text);
    ASSERT_TRUE(box);
    EXPECT_EQ(text, "确定的要取消更新吗？");
    Click(box, IDCANCEL);
    ASSERT_TRUE(WaitUntil([&] { return FindMessageBox(m_process.Id()) == nullptr; }));
    // Far enough in that both bars show something.
    EXPECT_TRUE(WaitUntil([&] { return ProgressPosition(dialog, kTotalProgress) >= 1; }));
    Screenshot(dialog, "dialog-running");

    PressEscape(dialog);
    box = WaitForBox(&text);
    ASSERT_TRUE(box);
    EXPECT_EQ(text, "确定的要取消更新吗？");
    Screenshot(box, "cancel-question");
    Click(box, IDCANCEL);

    // Declined: the job goes on and the dialog stays.
    ASSERT_TRUE(WaitUntil([&] { return FindMessageBox(m_process.Id()) == nullptr; }));
    std::string seen = ControlText(dialog, kStatus);
    EXPECT_TRUE(WaitUntil([&] { return ControlText(dialog, kStatus) != seen; }));
    EXPECT_FALSE(m_process.HasExited());

    // The cancel button asks the same question; OK stops the job and closes.
    Click(dialog, kCancelButton);
    box = WaitForBox(&text);
    ASSERT_TRUE(box);
    EXPECT_EQ(text, "确定的要取消更新吗？");
    Click(box, IDOK);
    EXPECT_TRUE(m_process.WaitForExit());
    EXPECT_FALSE(HasTemporaryPackage(m_game));
    EXPECT_FALSE(Exists(m_game + "\\many\\99\\f99999.txt"));
}

TEST_F(InstallerWindowTest, AsksForADirectoryBeforeStarting) {
    std::string installer = BuildInstaller(SmallPatch());
    DeleteModuleDirValue();
    HWND dialog = StartInstaller(installer);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(ControlText(dialog, kModuleDir), "");

    Click(dialog, IDOK);
    std::string text;
    HWND box = WaitForBox(&text);
    ASSERT_TRUE(box);
    EXPECT_EQ(text, "请指定游戏目录!");
    Screenshot(box, "no-directory");
    Click(box, IDOK);

    // Still idle: nothing started, and closing asks nothing.
    ASSERT_TRUE(WaitUntil([&] { return FindMessageBox(m_process.Id()) == nullptr; }));
    EXPECT_TRUE(IsControlEnabled(dialog, IDOK));
    EXPECT_EQ(ControlText(dialog, kStatus), " ");

    // The About item of the system menu.
    PostMessageA(dialog, WM_SYSCOMMAND, 0x0010, 0);
    HWND about = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        return (about = FindDialog(m_process.Id(),
                                   [](HWND w) { return WindowText(w) == "关于..."; })) != nullptr;
    }));
    Screenshot(about, "about");
    Click(about, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(about); }));

    PressEscape(dialog);
    EXPECT_TRUE(m_process.WaitForExit());
}

TEST_F(InstallerWindowTest, FolderPickerCreatesATypedPathAfterAsking) {
    std::string installer = BuildInstaller(SmallPatch());
    SetModuleDirValue(m_game);
    HWND dialog = StartInstaller(installer);
    ASSERT_TRUE(dialog);

    HWND picker = OpenFolderPicker(dialog);
    ASSERT_TRUE(picker);
    EXPECT_EQ(WindowText(picker), kTitle);
    EXPECT_FALSE(IsControlVisible(picker, kBrowseStatus));
    // The edit box sits 4 pixels above the tree, 23 pixels tall, as wide.
    RECT tree, edit;
    GetWindowRect(GetDlgItem(picker, kBrowseTree), &tree);
    GetWindowRect(GetDlgItem(picker, kBrowseEdit), &edit);
    EXPECT_EQ(edit.left, tree.left);
    EXPECT_EQ(edit.right, tree.right);
    EXPECT_EQ(edit.bottom, tree.top - 4);
    EXPECT_EQ(edit.bottom - edit.top, 23);
    EXPECT_TRUE(IsControlEnabled(picker, IDOK));
    // An empty box disables OK, any text enables it again.
    HWND box = GetDlgItem(picker, kBrowseEdit);
    SendMessageA(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
    EXPECT_FALSE(IsControlEnabled(picker, IDOK));
    SendMessageA(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("x"));
    EXPECT_TRUE(IsControlEnabled(picker, IDOK));

    std::string typed = m_game + "\\New\\Client";
    SendMessageA(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(typed.c_str()));
    Screenshot(picker, "folder-picker");

    // No: nothing is created and the picker stays open.
    Click(picker, IDOK);
    std::string text;
    HWND question = WaitForBox(&text);
    ASSERT_TRUE(question);
    EXPECT_EQ(text, "The folder:\n\n" + typed +
                        "\n\ndoes not exist. Do you want the folder to be created?");
    Screenshot(question, "folder-question");
    Click(question, IDNO);
    ASSERT_TRUE(WaitUntil([&] { return FindMessageBox(m_process.Id()) == nullptr; }));
    EXPECT_TRUE(IsWindow(picker));
    EXPECT_FALSE(Exists(m_game + "\\New"));

    // Yes: both levels are made, the picker closes and the path is taken.
    Click(picker, IDOK);
    question = WaitForBox(&text);
    ASSERT_TRUE(question);
    Click(question, IDYES);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(picker); }));
    EXPECT_TRUE(IsDirectory(typed));
    EXPECT_TRUE(WaitUntil([&] { return ControlText(dialog, kModuleDir) == typed; }));

    PressEscape(dialog);
    EXPECT_TRUE(m_process.WaitForExit());
}

} // namespace
