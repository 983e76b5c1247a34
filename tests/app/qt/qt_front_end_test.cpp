// The Qt front end: the main dialog, the file choice, the start and exit.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include "app/qt/main_dialog.h"
#include "app/qt/qt_shell.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

// A shown dialog over `settings`; each press of "Rename Files" notes the
// settings its batch is given.
struct Shown {
  explicit Shown(Settings initial = {}) : settings(std::move(initial)) { dialog.show(); }
  QWidget* control(int id) { return dialog.findChild<QWidget*>(QString::number(id)); }
  QLineEdit* box() { return dialog.findChild<QLineEdit*>(QString::number(kTemplateBoxId)); }
  void press() { QTest::mouseClick(control(kRenameFilesId), Qt::LeftButton); }

  Settings settings;
  std::vector<Settings> batches;
  MainDialog dialog{settings, [this](const Settings& current, QWidget* owner) {
                      EXPECT_EQ(owner, &dialog);
                      batches.push_back(current);
                    }};
};

// Nothing closes the dialog but closing it. Enter presses "Rename Files"
// when that button has the focus, as Space does, and nothing elsewhere.
TEST(MainDialog, EnterPressesOnlyAFocusedRenameFilesAndNoKeyClosesIt) {
  for (const int focus : {kTemplateBoxId, kRenameFilesId}) {
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space, Qt::Key_Escape}) {
      Shown shown;
      shown.control(focus)->setFocus();
      QTest::keyClick(shown.control(focus), key);
      EXPECT_TRUE(shown.dialog.isVisible()) << key;
      const bool pressed = focus == kRenameFilesId && key != Qt::Key_Escape;
      EXPECT_EQ(shown.batches.size(), pressed ? 1u : 0u) << focus << " " << key;
    }
  }
}

// Pressing Rename Files, before its batch, and closing copy the controls
// into the settings. The template keeps the bytes it was read with, UTF-8
// or not, while the box shows what it showed on opening; an edited one is
// the box's UTF-8, cut to 511 bytes before a character that would not fit.
TEST(MainDialog, PressingAndClosingCopyTheControlsAndKeepTheTemplatesBytesUnlessEdited) {
  const std::string windows_dash = "%artist% \x96 %title%";
  Shown shown({7, windows_dash});  // any method but 0 sets "All Files"
  const QString opening = shown.box()->text();
  EXPECT_EQ(opening, QString::fromUtf8("%artist% \uFFFD %title%"));
  shown.press();
  shown.box()->setText(opening + QChar(0xE9));
  QTest::mouseClick(shown.control(kSelectedId), Qt::LeftButton);
  shown.press();
  EXPECT_EQ(shown.settings.method, 0);
  shown.box()->setText(QString(511, 'a') + 'b');
  shown.press();
  shown.box()->setText(opening);
  QTest::mouseClick(shown.control(kAllFilesId), Qt::LeftButton);
  EXPECT_TRUE(shown.dialog.close());
  ASSERT_EQ(shown.batches.size(), 3u);
  EXPECT_EQ(shown.batches[0].method, 1);
  EXPECT_EQ(shown.batches[0].format, windows_dash);
  EXPECT_EQ(shown.batches[1].format, "%artist% \xEF\xBF\xBD %title%\xC3\xA9");
  EXPECT_EQ(shown.batches[2].format, std::string(511, 'a'));
  EXPECT_EQ(shown.settings.method, 1);
  EXPECT_EQ(shown.settings.format, windows_dash);
  EXPECT_EQ(template_from_text(QString(510, 'a') + QChar(0xE9)), std::string(510, 'a'));
  EXPECT_EQ(template_from_text(QString(509, 'a') + QChar(0xE9)),
            std::string(509, 'a') + "\xC3\xA9");
}

// Tab goes from the template box to Rename Files, to whichever radio button
// is set, on opening or by a click, and back to the box.
TEST(MainDialog, TabReachesTheSetRadioButtonOnly) {
  for (const int set : {kAllFilesId, kSelectedId}) {
    Shown shown({1, "x"});
    if (set == kSelectedId) QTest::mouseClick(shown.control(set), Qt::LeftButton);
    shown.box()->setFocus();
    shown.dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&shown.dialog));
    for (const int id : {kTemplateBoxId, kRenameFilesId, set, kTemplateBoxId}) {
      EXPECT_EQ(QApplication::focusWidget(), shown.control(id)) << set << " " << id;
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
  }
}

TEST(QtShell, TurnsConfirmedPathsIntoTheBatchChoiceLayouts) {
  const std::optional<FileChoice> one = choice_from_paths({"/music/a b.mp3"});
  EXPECT_TRUE(one && one->first == "/music/a b.mp3" && one->names.empty());
  const std::optional<FileChoice> two = choice_from_paths({"/music/b.mp3", "/music/a.mp3"});
  EXPECT_TRUE(two && two->first == "/music" &&
              two->names == (std::vector<std::string>{"b.mp3", "a.mp3"}));
  // The batch joins every name to one folder, so files of two are refused.
  EXPECT_FALSE(choice_from_paths({"/music/a.mp3", "/other/b.mp3"}));
  EXPECT_FALSE(choice_from_paths({}));
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
    std::filesystem::create_directory("picked");
    QTimer::singleShot(0, [&] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<MainDialog*>(widget);
        if (dialog == nullptr || !dialog->isVisible()) continue;
        const int method = had_file ? kAllFilesId : kSelectedId;
        EXPECT_TRUE(dialog->findChild<QRadioButton*>(QString::number(method))->isChecked());
        EXPECT_EQ(std::filesystem::exists(ini), had_file);  // nothing written yet
        std::filesystem::current_path("picked");
        dialog->close();
      }
    });
    EXPECT_EQ(run_program(), 0);
    EXPECT_EQ(test::read_bytes(ini), had_file
                                         ? "[Core]\r\nMethod = 1\r\nFormat = %artist% \x96 %title%"
                                         : "[Core]\r\nMethod = 0\r\nFormat = %artist% - %title%");
  }
}

}  // namespace
}  // namespace kestrune

// One QApplication for the whole run, also when the tests are only listed.
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
