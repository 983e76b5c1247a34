#include "app/win32/main_dialog.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace kestrune::win32 {
namespace {

// Reads a DLGTEMPLATE resource (the classic layout, not DLGTEMPLATEEX) word
// by word, as the dialog manager does.
class TemplateReader {
 public:
  TemplateReader(const void* data, std::size_t size)
      : data_(static_cast<const std::uint8_t*>(data)), size_(size) {}

  std::uint16_t word() {
    if (pos_ + 2 > size_) {
      overrun_ = true;
      return 0;
    }
    const std::uint16_t value = static_cast<std::uint16_t>(data_[pos_] | data_[pos_ + 1] << 8);
    pos_ += 2;
    return value;
  }
  std::uint32_t dword() {
    const std::uint32_t low = word();
    return low | static_cast<std::uint32_t>(word()) << 16;
  }
  // A zero-terminated UTF-16 string of ASCII characters.
  std::string text() {
    std::string out;
    for (std::uint16_t unit = word(); unit != 0 && !overrun_; unit = word()) {
      out += static_cast<char>(unit);
    }
    return out;
  }
  // A string or an ordinal (0xFFFF and a number), written as "#number".
  std::string name_or_ordinal() {
    if (pos_ + 2 <= size_ && data_[pos_] == 0xFF && data_[pos_ + 1] == 0xFF) {
      word();
      return "#" + std::to_string(word());
    }
    return text();
  }
  void align_to_dword() { pos_ = (pos_ + 3) & ~std::size_t{3}; }
  bool overrun() const { return overrun_; }
  bool at_end() const { return pos_ >= size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  bool overrun_ = false;
};

struct Item {
  std::uint32_t style;
  std::uint32_t extended_style;
  std::int16_t x, y, cx, cy;
  std::uint16_t id;
  std::string class_name;
  std::string text;
  std::uint16_t extra;
  bool operator==(const Item&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Item& item) {
  return out << item.id << " " << item.class_name << " \"" << item.text << "\" " << std::hex
             << item.style << std::dec << " " << item.x << "," << item.y << " " << item.cx << "x"
             << item.cy;
}

BOOL CALLBACK count_type(HMODULE, LPSTR type, LONG_PTR count) {
  ++*reinterpret_cast<int*>(count);
  return IS_INTRESOURCE(type) && type == MAKEINTRESOURCEA(5);  // RT_DIALOG
}

TEST(MainDialogTemplate, IsTemplate101ExactlyAndTheOnlyResource) {
  int types = 0;
  EnumResourceTypesA(nullptr, count_type, reinterpret_cast<LONG_PTR>(&types));
  EXPECT_EQ(types, 1);

  const HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(101), MAKEINTRESOURCEA(5));
  ASSERT_NE(found, nullptr);
  const void* data = LockResource(LoadResource(nullptr, found));
  TemplateReader reader(data, SizeofResource(nullptr, found));

  EXPECT_EQ(reader.dword(), 0x80C800C0u);  // style
  EXPECT_EQ(reader.dword(), 0u);           // extended style
  const std::uint16_t count = reader.word();
  EXPECT_EQ(count, 6);
  EXPECT_EQ(reader.word(), 0);    // x
  EXPECT_EQ(reader.word(), 0);    // y
  EXPECT_EQ(reader.word(), 186);  // cx
  EXPECT_EQ(reader.word(), 114);  // cy
  EXPECT_EQ(reader.name_or_ordinal(), "");  // no menu
  EXPECT_EQ(reader.name_or_ordinal(), "");  // the default dialog class
  EXPECT_EQ(reader.text(), "Kestrune");
  EXPECT_EQ(reader.word(), 8);  // points, present with DS_SETFONT
  EXPECT_EQ(reader.text(), "MS Sans Serif");

  std::vector<Item> items;
  for (std::uint16_t i = 0; i < count && !reader.overrun(); ++i) {
    reader.align_to_dword();
    Item item{};
    item.style = reader.dword();
    item.extended_style = reader.dword();
    item.x = static_cast<std::int16_t>(reader.word());
    item.y = static_cast<std::int16_t>(reader.word());
    item.cx = static_cast<std::int16_t>(reader.word());
    item.cy = static_cast<std::int16_t>(reader.word());
    item.id = reader.word();
    item.class_name = reader.name_or_ordinal();
    item.text = reader.name_or_ordinal();
    item.extra = reader.word();
    items.push_back(item);
  }
  ASSERT_FALSE(reader.overrun());
  reader.align_to_dword();
  EXPECT_TRUE(reader.at_end());

  // The classes as the predefined atoms: 0x80 BUTTON, 0x81 EDIT, 0x82 STATIC.
  const std::vector<Item> expected = {
      {0x50020001, 0, 28, 16, 123, 8, 0xFFFF, "#130", "Format", 0},
      {0x50810080, 0, 28, 28, 123, 12, 1000, "#129", "", 0},
      {0x50010000, 0, 59, 50, 66, 12, 1001, "#128", "Rename Files", 0},
      {0x50000007, 0, 28, 72, 123, 24, 0xFFFF, "#128", "Rename Method", 0},
      {0x50000009, 0, 33, 83, 53, 10, 1002, "#128", "Selected", 0},
      {0x50000009, 0, 91, 83, 53, 10, 1003, "#128", "All Files", 0},
  };
  EXPECT_EQ(items, expected);
}

std::string template_box_text(HWND dialog) {
  char text[2048] = {};
  GetDlgItemTextA(dialog, kTemplateBox, text, sizeof text);
  return text;
}

// The dialog from template 101, created without being shown.
class MainDialog : public ::testing::Test {
 protected:
  void TearDown() override {
    if (dialog_ != nullptr) DestroyWindow(dialog_);
    program_settings() = Settings{};
  }
  HWND create(const Settings& settings) {
    program_settings() = settings;
    dialog_ = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kMainDialog),
                                 nullptr, main_dialog_procedure, 0);
    return dialog_;
  }
  HWND dialog_ = nullptr;
};

TEST_F(MainDialog, OpensWithTheSettingsAndAnyNonzeroMethodAsAllFiles) {
  for (const std::int32_t method : {0, 1, 5, -1}) {
    const HWND dialog = create({method, "%artist%\\%album%\\%title%"});
    ASSERT_NE(dialog, nullptr) << GetLastError();
    EXPECT_FALSE(IsWindowVisible(dialog));
    EXPECT_EQ(template_box_text(dialog), "%artist%\\%album%\\%title%");
    EXPECT_EQ(IsDlgButtonChecked(dialog, kSelectedButton), method == 0 ? BST_CHECKED : 0u);
    EXPECT_EQ(IsDlgButtonChecked(dialog, kAllFilesButton), method == 0 ? 0u : BST_CHECKED);
    DestroyWindow(dialog);
    dialog_ = nullptr;
  }
}

TEST_F(MainDialog, EnterAndEscapeKeepItOpenAndCloseCopiesTheControls) {
  const HWND dialog = create({5, "%title%"});
  ASSERT_NE(dialog, nullptr) << GetLastError();
  // Handled (nonzero), so the dialog manager's default does not end it.
  EXPECT_EQ(main_dialog_procedure(dialog, WM_COMMAND, IDOK, 0), TRUE);
  EXPECT_EQ(main_dialog_procedure(dialog, WM_COMMAND, IDCANCEL, 0), TRUE);
  EXPECT_EQ(main_dialog_procedure(dialog, WM_TIMER, 0, 0), FALSE);
  SendMessageA(dialog, WM_COMMAND, IDOK, 0);
  SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
  EXPECT_TRUE(IsWindow(dialog));
  EXPECT_TRUE(IsWindowEnabled(dialog));
  EXPECT_EQ(program_settings().method, 5);  // nothing copied yet

  const std::string long_text(600, 'x');
  SetDlgItemTextA(dialog, kTemplateBox, long_text.c_str());
  CheckRadioButton(dialog, kSelectedButton, kAllFilesButton, kSelectedButton);
  SendMessageA(dialog, WM_CLOSE, 0, 0);
  EXPECT_EQ(program_settings().method, 0);
  EXPECT_EQ(program_settings().format, long_text.substr(0, 511));

  // Back to All Files: 1 is stored, not the 5 that was read.
  create({5, "%title%"});
  ASSERT_NE(dialog_, nullptr);
  SendMessageA(dialog_, WM_CLOSE, 0, 0);
  EXPECT_EQ(program_settings().method, 1);
  EXPECT_EQ(program_settings().format, "%title%");
  DestroyWindow(dialog);
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
