#include "app/win32/main_dialog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace kestrune::win32 {
namespace {

// Describes a DLGTEMPLATE resource (the classic layout, not DLGTEMPLATEEX)
// one line for the dialog and one per control, reading as the dialog
// manager does: styles in hex, other numbers in decimal, an ordinal as
// "#" and its number, a string in quotes.
std::string describe_template(const std::uint8_t* data, std::size_t size) {
  std::size_t pos = 0;
  std::string out;
  const auto word = [&] {
    if (pos + 2 > size) return std::uint32_t{0xDEAD};  // shows up in the text
    pos += 2;
    return std::uint32_t{data[pos - 2]} | std::uint32_t{data[pos - 1]} << 8;
  };
  const auto put = [&](std::uint32_t value, const char* format = "%u ") {
    char text[16];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(value));
    out += text;
  };
  const auto put_dword = [&] {
    const std::uint32_t low = word();  // read before the high half
    put(low | word() << 16, "%X ");
  };
  const auto put_string = [&] {
    out += '"';
    for (std::uint32_t unit = word(); unit != 0 && unit != 0xDEAD; unit = word()) {
      out += static_cast<char>(unit);
    }
    out += "\" ";
  };
  const auto put_name_or_ordinal = [&] {
    if (pos + 2 > size || data[pos] != 0xFF || data[pos + 1] != 0xFF) return put_string();
    word();
    out += '#';
    put(word(), "%X ");
  };
  put_dword();  // style
  put_dword();  // extended style
  const std::uint32_t count = word();
  put(count);
  for (int i = 0; i < 4; ++i) put(word());  // x, y, cx, cy
  put_name_or_ordinal();                    // menu
  put_name_or_ordinal();                    // class
  put_string();                             // caption
  put(word());                              // points, present with DS_SETFONT
  put_string();                             // typeface
  for (std::uint32_t item = 0; item < count && pos < size; ++item) {
    out += '\n';
    pos = (pos + 3) & ~std::size_t{3};  // each control starts on a DWORD
    put_dword();                        // style
    put_dword();                        // extended style
    for (int i = 0; i < 5; ++i) put(word());  // x, y, cx, cy, id
    put_name_or_ordinal();                    // class
    put_name_or_ordinal();                    // text
    put(word());                              // creation data size
  }
  if (((pos + 3) & ~std::size_t{3}) < size) out += "\ntrailing bytes";
  return out;
}

BOOL CALLBACK count_type(HMODULE, LPSTR, LONG_PTR count) {
  ++*reinterpret_cast<int*>(count);
  return TRUE;
}

TEST(MainDialogTemplate, IsTemplate101ExactlyAndTheOnlyResource) {
  int types = 0;
  EnumResourceTypesA(nullptr, count_type, reinterpret_cast<LONG_PTR>(&types));
  EXPECT_EQ(types, 1);
  const HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(101), MAKEINTRESOURCEA(5));
  ASSERT_NE(found, nullptr);
  const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(nullptr, found)));
  // The classes as the predefined ordinals 0x80 BUTTON, 0x81 EDIT and
  // 0x82 STATIC; the identifier -1 as 65535.
  EXPECT_EQ(describe_template(data, SizeofResource(nullptr, found)),
            "80C800C0 0 6 0 0 186 114 \"\" \"\" \"Kestrune\" 8 \"MS Sans Serif\" \n"
            "50020001 0 28 16 123 8 65535 #82 \"Format\" 0 \n"
            "50810080 0 28 28 123 12 1000 #81 \"\" 0 \n"
            "50010000 0 59 50 66 12 1001 #80 \"Rename Files\" 0 \n"
            "50000007 0 28 72 123 24 65535 #80 \"Rename Method\" 0 \n"
            "50000009 0 33 83 53 10 1002 #80 \"Selected\" 0 \n"
            "50000009 0 91 83 53 10 1003 #80 \"All Files\" 0 ");
}

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
