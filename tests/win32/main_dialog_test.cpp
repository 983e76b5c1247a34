#include "app/win32/main_dialog.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_folder.h"

namespace kestrune::win32 {
namespace {

std::string template_box_text(HWND dialog) {
  char text[2048] = {};
  GetDlgItemTextA(dialog, kTemplateBox, text, sizeof text);
  return text;
}

TEST(MainDialog, ShowsTheSettingsIgnoresEnterAndEscapeAndCopiesTheControlsOnClose) {
  program_settings() = {5, "%title%"};
  // From template 101, created without being shown.
  const HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kMainDialog),
                                         nullptr, main_dialog_procedure, 0);
  ASSERT_NE(dialog, nullptr) << GetLastError();
  EXPECT_FALSE(IsWindowVisible(dialog));
  EXPECT_EQ(template_box_text(dialog), "%title%");
  EXPECT_EQ(IsDlgButtonChecked(dialog, kSelectedButton), 0u);
  EXPECT_EQ(IsDlgButtonChecked(dialog, kAllFilesButton), BST_CHECKED);

  // Handled (nonzero), so the dialog manager's default does not end it.
  EXPECT_EQ(main_dialog_procedure(dialog, WM_COMMAND, IDOK, 0), TRUE);
  EXPECT_EQ(main_dialog_procedure(dialog, WM_COMMAND, IDCANCEL, 0), TRUE);
  EXPECT_EQ(main_dialog_procedure(dialog, WM_TIMER, 0, 0), FALSE);
  SendMessageA(dialog, WM_COMMAND, IDOK, 0);
  SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_EQ(program_settings().method, 5);  // nothing copied yet

  const std::string long_text(600, 'x');
  SetDlgItemTextA(dialog, kTemplateBox, long_text.c_str());
  CheckRadioButton(dialog, kSelectedButton, kAllFilesButton, kSelectedButton);
  SendMessageA(dialog, WM_CLOSE, 0, 0);
  EXPECT_EQ(program_settings().method, 0);
  EXPECT_EQ(program_settings().format, long_text.substr(0, 511));
  DestroyWindow(dialog);
  program_settings() = Settings{};
}

// kestrune.exe, found from this program's own place in the build folder.
std::string program_path() {
  char own[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, own, MAX_PATH);
  std::string path = own;
  path.resize(path.rfind('\\') + 1);
  return path + KESTRUNE_PROGRAM_FROM_TESTS;
}

// Waits up to ten seconds for the program's dialog to be shown, which
// happens after WM_INITDIALOG.
HWND wait_for_dialog(HANDLE process) {
  for (int i = 0; i < 200; ++i) {
    const HWND found = FindWindowA(MAKEINTRESOURCEA(32770), "Kestrune");
    if (found != nullptr && IsWindowVisible(found)) return found;
    if (WaitForSingleObject(process, 50) == WAIT_OBJECT_0) return nullptr;
  }
  return nullptr;
}

TEST(ProgramStart, ReadsTheSettingsShowsThemAndWritesThemBackWhenClosed) {
  test::TempFolder folder;
  test::write_bytes("Kestrune.ini", "[Core]\r\nMethod = 5\r\nFormat = %title% (%year%)");
  std::string command = "\"" + program_path() + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &process))
      << command << ": " << GetLastError();

  const HWND dialog = wait_for_dialog(process.hProcess);
  EXPECT_NE(dialog, nullptr);
  if (dialog != nullptr) {
    EXPECT_EQ(template_box_text(dialog), "%title% (%year%)");
    EXPECT_EQ(IsDlgButtonChecked(dialog, kAllFilesButton), BST_CHECKED);
    // Nothing is written while the dialog runs.
    EXPECT_EQ(test::read_bytes("Kestrune.ini"), "[Core]\r\nMethod = 5\r\nFormat = %title% (%year%)");
    PostMessageA(dialog, WM_CLOSE, 0, 0);
  }
  if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
    ADD_FAILURE() << "the program did not end";
  }
  DWORD exit_code = 1;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(exit_code, 0u);
  EXPECT_EQ(test::read_bytes("Kestrune.ini"), "[Core]\r\nMethod = 1\r\nFormat = %title% (%year%)");
}

}  // namespace
}  // namespace kestrune::win32
