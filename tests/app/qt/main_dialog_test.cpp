#include "app/qt/main_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>

namespace kestrune {
namespace {

// A shown dialog over `settings`; each press of "Rename Files" notes the
// settings its batch is given.
struct Shown {
  explicit Shown(Settings initial = {}) : settings(std::move(initial)) { dialog.show(); }
  template <typename Widget = QWidget>
  Widget* control(int id) {
    return dialog.findChild<Widget*>(QString::number(id));
  }
  QLineEdit* box() { return control<QLineEdit>(kTemplateBoxId); }
  void press() { QTest::mouseClick(control(kRenameFilesId), Qt::LeftButton); }

  Settings settings;
  std::vector<Settings> batches;
  MainDialog dialog{settings, [this](const Settings& current, QWidget* owner) {
                      EXPECT_EQ(owner, &dialog);
                      batches.push_back(current);
                    }};
};

TEST(MainDialog, OpensWithTheTemplateAndSetsAllFilesForAnyNonZeroMethod) {
  for (const int method : {0, 1, 5, -1}) {
    Shown shown({method, "%title%\\%track%"});
    EXPECT_EQ(shown.box()->text(), "%title%\\%track%");
    EXPECT_EQ(shown.control<QRadioButton>(kSelectedId)->isChecked(), method == 0) << method;
    EXPECT_EQ(shown.control<QRadioButton>(kAllFilesId)->isChecked(), method != 0) << method;
  }
}

// Nothing closes the dialog but closing it. Enter presses "Rename Files"
// when that button has the focus, as Space does, and nothing elsewhere.
TEST(MainDialog, EnterPressesOnlyAFocusedRenameFilesAndNoKeyClosesIt) {
  const struct {
    int focus;
    Qt::Key key;
    bool presses;
  } cases[] = {
      {kTemplateBoxId, Qt::Key_Return, false}, {kTemplateBoxId, Qt::Key_Enter, false},
      {kTemplateBoxId, Qt::Key_Escape, false}, {kRenameFilesId, Qt::Key_Escape, false},
      {kRenameFilesId, Qt::Key_Return, true},  {kRenameFilesId, Qt::Key_Enter, true},
      {kRenameFilesId, Qt::Key_Space, true},
  };
  for (const auto& c : cases) {
    Shown shown;
    shown.control(c.focus)->setFocus();
    QTest::keyClick(shown.control(c.focus), c.key);
    EXPECT_TRUE(shown.dialog.isVisible()) << c.key;
    EXPECT_EQ(shown.batches.size(), c.presses ? 1u : 0u) << c.focus << " " << c.key;
  }
}

// Pressing Rename Files, before its batch, and closing copy the controls
// into the settings. The template keeps the bytes it was read with, UTF-8
// or not, while the box shows what it showed on opening; an edited one is
// the box's UTF-8.
TEST(MainDialog, PressingAndClosingCopyTheControlsAndKeepTheTemplatesBytesUnlessEdited) {
  const std::string windows_dash = "%artist% \x96 %title%";
  Shown shown({7, windows_dash});
  const QString opening = shown.box()->text();
  shown.press();
  shown.box()->setText(opening + QChar(0xE9));
  QTest::mouseClick(shown.control(kSelectedId), Qt::LeftButton);
  shown.press();
  EXPECT_TRUE(shown.dialog.isVisible());
  EXPECT_EQ(shown.settings.method, 0);
  shown.box()->setText(opening);
  QTest::mouseClick(shown.control(kAllFilesId), Qt::LeftButton);
  EXPECT_TRUE(shown.dialog.close());
  EXPECT_FALSE(shown.dialog.isVisible());
  ASSERT_EQ(shown.batches.size(), 2u);
  EXPECT_EQ(shown.batches[0].method, 1);
  EXPECT_EQ(shown.batches[0].format, windows_dash);
  EXPECT_EQ(shown.batches[1].format, "%artist% \xEF\xBF\xBD %title%\xC3\xA9");
  EXPECT_EQ(shown.settings.method, 1);
  EXPECT_EQ(shown.settings.format, windows_dash);
}

// An edited template is cut to 511 bytes before a character that would not
// fit whole.
TEST(MainDialog, KeepsTheFirst511BytesOfALongTemplateWithoutSplittingACharacter) {
  Shown shown;
  shown.box()->setText(QString(511, 'a') + 'b');
  shown.dialog.close();
  EXPECT_EQ(shown.settings.format, std::string(511, 'a'));
  EXPECT_EQ(template_from_text(QString(510, 'a') + QChar(0xE9)), std::string(510, 'a'));
  EXPECT_EQ(template_from_text(QString(509, 'a') + QChar(0xE9)),
            std::string(509, 'a') + "\xC3\xA9");
}

// Tab goes from the template box to Rename Files, to whichever radio button
// is set, on opening or by a click, and back to the box.
TEST(MainDialog, TabReachesTheSetRadioButtonOnly) {
  const struct {
    int method;
    int click;  // 0: none
  } cases[] = {{0, 0}, {1, 0}, {0, kAllFilesId}, {1, kSelectedId}};
  for (const auto& c : cases) {
    Shown shown({c.method, "x"});
    if (c.click != 0) QTest::mouseClick(shown.control(c.click), Qt::LeftButton);
    shown.box()->setFocus();
    shown.dialog.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&shown.dialog));
    const int set = c.click != 0 ? c.click : c.method == 0 ? kSelectedId : kAllFilesId;
    for (const int id : {kTemplateBoxId, kRenameFilesId, set, kTemplateBoxId}) {
      EXPECT_EQ(QApplication::focusWidget(), shown.control(id)) << c.method << " " << id;
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
  }
}

}  // namespace
}  // namespace kestrune
