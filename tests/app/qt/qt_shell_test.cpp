#include "app/qt/qt_shell.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QRadioButton>
#include <QTimer>
#include <functional>

#include "app/qt/main_dialog.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

TEST(QtShell, TurnsConfirmedPathsIntoTheBatchChoiceLayouts) {
  const std::optional<FileChoice> single = choice_from_paths({"/music/a b.mp3"});
  ASSERT_TRUE(single);
  EXPECT_EQ(single->first, "/music/a b.mp3");
  EXPECT_TRUE(single->names.empty());
  const std::optional<FileChoice> several = choice_from_paths({"/music/b.mp3", "/music/a.mp3"});
  ASSERT_TRUE(several);
  EXPECT_EQ(several->first, "/music");
  EXPECT_EQ(several->names, (std::vector<std::string>{"b.mp3", "a.mp3"}));
  // The batch joins every name to one folder, so files of two are refused.
  EXPECT_FALSE(choice_from_paths({"/music/a.mp3", "/other/b.mp3"}));
  EXPECT_FALSE(choice_from_paths({}));
}

// Runs the start and exit sequence; `while_open` sees the dialog once it is
// shown, and the dialog is closed afterwards.
int run_with_dialog(const std::function<void(MainDialog&)>& while_open) {
  QTimer::singleShot(0, [&] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* dialog = dynamic_cast<MainDialog*>(widget);
      if (dialog == nullptr || !dialog->isVisible()) continue;
      while_open(*dialog);
      dialog->close();
    }
  });
  return run_program();
}

// The settings file, or the defaults without one, reach the dialog; at exit
// the controls are written to the folder current at start, even when a batch
// has moved the current directory, and a template nobody edited keeps its
// bytes.
TEST(ProgramStart, ShowsTheSettingsFileOrDefaultsAndWritesTheControlsAtExit) {
  for (const bool had_file : {false, true}) {
    test::TempFolder folder;
    const std::filesystem::path ini = folder.path() / "Kestrune.ini";
    if (had_file) test::write_bytes(ini, "[Core]\r\nMethod = 5\r\nFormat = %artist% \x96 %title%");
    std::filesystem::create_directory(folder.path() / "picked");
    bool seen = false;
    const int code = run_with_dialog([&](MainDialog& dialog) {
      seen = true;
      const int method = had_file ? kAllFilesId : kSelectedId;
      EXPECT_TRUE(dialog.findChild<QRadioButton*>(QString::number(method))->isChecked());
      EXPECT_EQ(std::filesystem::exists(ini), had_file);  // nothing written yet
      std::filesystem::current_path(folder.path() / "picked");
    });
    EXPECT_TRUE(seen);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(test::read_bytes(ini), had_file
                                         ? "[Core]\r\nMethod = 1\r\nFormat = %artist% \x96 %title%"
                                         : "[Core]\r\nMethod = 0\r\nFormat = %artist% - %title%");
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "picked" / "Kestrune.ini"));
  }
}

TEST(ProgramStart, WritesNoSettingsFileWhenTheCurrentDirectoryIsGone) {
  if (std::filesystem::exists("/Kestrune.ini")) GTEST_SKIP() << "/Kestrune.ini exists already";
  test::TempFolder folder;
  std::filesystem::create_directory(folder.path() / "gone");
  std::filesystem::current_path(folder.path() / "gone");
  std::filesystem::remove(folder.path() / "gone");
  EXPECT_EQ(run_with_dialog([](MainDialog&) {}), 0);
  EXPECT_FALSE(std::filesystem::exists("/Kestrune.ini"));
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "Kestrune.ini"));
}

}  // namespace
}  // namespace kestrune
