#include "app/qt/qt_shell.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
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
// shown, and the dialog is closed afterwards in any case.
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

QLineEdit* template_box(MainDialog& dialog) {
  return dialog.findChild<QLineEdit*>(QString::number(kTemplateBoxId));
}

TEST(ProgramStart, ShowsTheDefaultsWithoutASettingsFileAndWritesItAtExit) {
  test::TempFolder folder;
  bool seen = false;
  const int code = run_with_dialog([&](MainDialog& dialog) {
    seen = true;
    EXPECT_EQ(template_box(dialog)->text(), "%artist% - %title%");
    EXPECT_TRUE(dialog.findChild<QRadioButton*>(QString::number(kSelectedId))->isChecked());
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "Kestrune.ini"));  // nothing written yet
  });
  EXPECT_TRUE(seen);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(test::read_bytes(folder.path() / "Kestrune.ini"),
            "[Core]\r\nMethod = 0\r\nFormat = %artist% - %title%");
}

TEST(ProgramStart, WritesTheClosedControlsToTheFolderCurrentAtStart) {
  test::TempFolder folder;
  test::write_bytes(folder.path() / "Kestrune.ini", "[Core]\r\nMethod = 5\r\nFormat = %title%");
  std::filesystem::create_directory(folder.path() / "picked");
  run_with_dialog([&](MainDialog& dialog) {
    EXPECT_EQ(template_box(dialog)->text(), "%title%");
    EXPECT_TRUE(dialog.findChild<QRadioButton*>(QString::number(kAllFilesId))->isChecked());
    template_box(dialog)->setText("%track%");
    // A batch leaves the current directory at the chosen folder.
    std::filesystem::current_path(folder.path() / "picked");
  });
  EXPECT_EQ(test::read_bytes(folder.path() / "Kestrune.ini"),
            "[Core]\r\nMethod = 1\r\nFormat = %track%");
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "picked" / "Kestrune.ini"));
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
