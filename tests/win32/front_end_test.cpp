// The Windows front end: kestrune.exe and its dialog, the file selection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/win32/main_dialog.h"
#include "app/win32/selection.h"
#include "support/temp_folder.h"

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
