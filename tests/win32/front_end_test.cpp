// The Windows front end: kestrune.exe and its dialog, the file selection.
#include <gtest/gtest.h>
#include <windows.h>
#include <dlgs.h>

#include <string>
#include <thread>
#include <vector>

#include "app/win32/main_dialog.h"
#include "app/win32/selection.h"
#include "app/win32/win32_front_end.h"
#include "platform/platform.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"
#ifdef KESTRUNE_WITH_CLI
#include "cli/cli_capture.h"
#endif

namespace kestrune::win32 {
namespace {

using namespace std::string_literals;

// kestrune.exe, found from this suite's place in the build folder, shows the
// settings file; neither Enter (IDOK) nor Escape (IDCANCEL) ends the dialog,
// closing copies the controls, the template cut to 511 characters, and they
// are written at exit, not before.
TEST(ProgramStart, ShowsTheSettingsAndWritesTheControlsBackWhenClosed) {
  test::TempFolder folder;
  const std::string settings = "[Core]\r\nMethod = 5\r\nFormat = %title% (%year%)";
  test::write_bytes("Kestrune.ini", settings);
  char own[MAX_PATH] = {};
  const std::string suite(own, GetModuleFileNameA(nullptr, own, MAX_PATH));
  std::string command = suite.substr(0, suite.rfind('\\') + 1) + KESTRUNE_PROGRAM_FROM_TESTS;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessA(command.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &process))
      << command << ": " << GetLastError();
  HWND dialog = nullptr;  // shown after WM_INITDIALOG, within ten seconds
  for (int i = 0; i < 200 && (dialog == nullptr || !IsWindowVisible(dialog)); ++i) {
    if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
    dialog = FindWindowA(MAKEINTRESOURCEA(32770), "Kestrune");
  }
  char text[2048] = {};
  GetDlgItemTextA(dialog, kTemplateBox, text, sizeof text);
  EXPECT_STREQ(text, "%title% (%year%)");
  EXPECT_EQ(IsDlgButtonChecked(dialog, kAllFilesButton), BST_CHECKED);
  SendMessageA(dialog, WM_COMMAND, IDOK, 0);
  SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  EXPECT_TRUE(IsWindowVisible(dialog));
  SetDlgItemTextA(dialog, kTemplateBox, std::string(600, 'x').c_str());
  CheckRadioButton(dialog, kSelectedButton, kAllFilesButton, kSelectedButton);
  EXPECT_EQ(test::read_bytes("Kestrune.ini"), settings);
  PostMessageA(dialog, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
  }
  DWORD exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(exit_code, 0u);
  EXPECT_EQ(test::read_bytes("Kestrune.ini"),
            "[Core]\r\nMethod = 0\r\nFormat = " + std::string(511, 'x'));
}

// Answers the dialog captioned `caption`, once it is shown: types `name`
// into its file name box, if it has one, and presses its OK button.
void answer_dialog(const char* caption, const std::string& name = std::string()) {
  HWND dialog = nullptr;
  for (int i = 0; i < 600 && dialog == nullptr; ++i) {  // a minute at most
    dialog = FindWindowA(MAKEINTRESOURCEA(32770), caption);
    if (dialog == nullptr) Sleep(100);
  }
  if (dialog == nullptr) return;
  if (!name.empty()) {
    // The name box: a combo box in the Explorer layout, an edit in the old one.
    HWND box = GetDlgItem(dialog, cmb13);
    if (box == nullptr) box = GetDlgItem(dialog, edt1);
    SendMessageA(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(name.c_str()));
  }
  PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
}

// The full path of a file typed into the file dialog after a pick in another
// folder: the file is renamed in its own folder, not in the one of the last
// pick, which the dialog leaves current after a typed path.
TEST(FileSelection, AFullPathTypedInTheDialogIsRenamedInItsOwnFolder) {
  test::TempFolder folder;
  CreateDirectoryA("P", nullptr);
  CreateDirectoryA("Q", nullptr);
  test::write_bytes("Q\\q.mp3", test::tagged_image("Artist", "Title"));
  ASSERT_TRUE(platform::change_directory("P"));
  const std::string typed = folder.path().string() + "\\Q\\q.mp3";
  std::thread user([&] {
    answer_dialog(kRequestTitle, typed);
    answer_dialog("Success");
  });
  Win32FrontEnd front_end(nullptr);
  run_batch(Settings{0, "%artist% - %title%"}, front_end);
  user.join();
  EXPECT_EQ(platform::current_directory(), folder.path().string() + "\\Q");
  EXPECT_EQ(test::read_bytes(folder.path() / "Q" / "Artist - Title.mp3"),
            test::tagged_image("Artist", "Title"));
  EXPECT_EQ(test::describe_tree(folder.path() / "P"), "");
}

#ifdef KESTRUNE_WITH_CLI
// kestrune-cli with file arguments written with slashes, or with both
// separators: each file is renamed in its own folder.
TEST(CommandLine, FileArgumentsWithSlashesAreRenamedInTheirOwnFolders) {
  test::TempFolder folder;
  CreateDirectoryA("music", nullptr);
  CreateDirectoryA("music\\sub", nullptr);
  test::write_bytes("music\\a.mp3", test::tagged_image("A", "One"));
  test::write_bytes("music\\sub\\b.mp3", test::tagged_image("B", "Two"));
  const test::CliResult r = test::run_cli(
      {"--no-journal", "--format", "%artist% - %title%", "music/a.mp3", "music\\sub/b.mp3"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(test::read_bytes("music\\A - One.mp3"), test::tagged_image("A", "One"));
  EXPECT_EQ(test::read_bytes("music\\sub\\B - Two.mp3"), test::tagged_image("B", "Two"));
}
#endif

// Each buffer exactly as long as its bytes: a string that the end cuts off,
// or that has no zero byte at all, ends there.
TEST(SelectionBuffer, ReadsBothLayoutsAndNeverPastItsEnd) {
  const struct {
    std::string bytes;
    std::string first;
    std::vector<std::string> names;
  } cases[] = {
      {"C:\\Music\\a song.mp3\0\0"s, "C:\\Music\\a song.mp3", {}},
      {"C:\\Music\0b.mp3\0a.MP3\0c d.mp3\0\0"s, "C:\\Music", {"b.mp3", "a.MP3", "c d.mp3"}},
      {"D:\\\0a.mp3\0b.mp3\0\0"s, "D:\\", {"a.mp3", "b.mp3"}},  // a root keeps its backslash
      {"C:\\Music\0a.mp3\0b.m"s, "C:\\Music", {"a.mp3", "b.m"}},
      {"C:\\Mu"s, "C:\\Mu", {}},
  };
  for (const auto& c : cases) {
    const std::vector<char> exact(c.bytes.begin(), c.bytes.end());
    const FileChoice choice = parse_selection(exact.data(), exact.size());
    EXPECT_EQ(choice.first, c.first);
    EXPECT_EQ(choice.names, c.names) << c.first;
  }
}

}  // namespace
}  // namespace kestrune::win32
