#include "app/qt/main_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "app/batch.h"

namespace kestrune {
namespace {

// Cancels every selection, noting the request and the settings it saw.
struct FakeFrontEnd : BatchFrontEnd {
  const Settings* current = nullptr;
  std::vector<std::pair<FileRequest, Settings>> requests;
  std::vector<Message> messages;

  std::optional<FileChoice> choose_files(const FileRequest& request) override {
    requests.emplace_back(request, *current);
    return std::nullopt;
  }
  bool show_message(const Message& message) override {
    messages.push_back(message);
    return false;
  }
};

MainDialog::BatchRunner runner_for(FakeFrontEnd& fake) {
  return [&fake](const Settings& settings, QWidget*) {
    fake.current = &settings;
    run_batch(settings, fake);
  };
}

template <typename Widget>
Widget* control(QWidget& dialog, int id) {
  return dialog.findChild<Widget*>(QString::number(id));
}

TEST(MainDialog, OpensWithTheTemplateAndSetsAllFilesForAnyNonZeroMethod) {
  for (const int method : {0, 1, 5, -1}) {
    Settings settings{method, "%title%\\%track%"};
    MainDialog dialog(settings, {});
    EXPECT_EQ(control<QLineEdit>(dialog, kTemplateBoxId)->text(), "%title%\\%track%");
    EXPECT_EQ(control<QRadioButton>(dialog, kSelectedId)->isChecked(), method == 0) << method;
    EXPECT_EQ(control<QRadioButton>(dialog, kAllFilesId)->isChecked(), method != 0) << method;
  }
}

TEST(MainDialog, EscapeAndEnterNeitherCloseItNorPressRenameFiles) {
  Settings settings;
  FakeFrontEnd fake;
  MainDialog dialog(settings, runner_for(fake));
  dialog.show();
  auto* box = control<QLineEdit>(dialog, kTemplateBoxId);
  auto* button = control<QPushButton>(dialog, kRenameFilesId);
  EXPECT_FALSE(button->isDefault());
  EXPECT_FALSE(button->autoDefault());
  for (QWidget* target : {static_cast<QWidget*>(box), static_cast<QWidget*>(button)}) {
    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
      QTest::keyClick(target, key);
      EXPECT_TRUE(dialog.isVisible()) << key;
    }
  }
  EXPECT_TRUE(fake.requests.empty());
  EXPECT_EQ(settings.format, kDefaultFormat);  // nothing copied either
}

// Closing the dialog, and pressing Rename Files before the batch sees them,
// copy the controls into the settings, also when the selection is cancelled.
TEST(MainDialog, ClosingAndPressingCopyTheControlsIntoTheSettings) {
  for (const bool press : {false, true}) {
    SCOPED_TRACE(press);
    Settings settings;
    FakeFrontEnd fake;
    MainDialog dialog(settings, runner_for(fake));
    dialog.show();
    control<QLineEdit>(dialog, kTemplateBoxId)->setText("%album%\\%track% %title%");
    QTest::mouseClick(control<QRadioButton>(dialog, kAllFilesId), Qt::LeftButton);
    if (press) {
      QTest::mouseClick(control<QPushButton>(dialog, kRenameFilesId), Qt::LeftButton);
      ASSERT_EQ(fake.requests.size(), 1u);
      EXPECT_FALSE(fake.requests[0].first.allow_multiple);  // the All Files request
      EXPECT_EQ(fake.requests[0].second.method, 1);
      EXPECT_EQ(fake.requests[0].second.format, "%album%\\%track% %title%");
      EXPECT_TRUE(fake.messages.empty());  // a cancel ends silently
    } else {
      EXPECT_TRUE(dialog.close());
    }
    EXPECT_EQ(dialog.isVisible(), press);
    EXPECT_EQ(settings.method, 1);
    EXPECT_EQ(settings.format, "%album%\\%track% %title%");
  }

  // "All Files" stores 1 and "Selected" 0, whatever the file held.
  Settings from_file{7, "x"};
  MainDialog again(from_file, {});
  again.close();
  EXPECT_EQ(from_file.method, 1);
}

TEST(MainDialog, KeepsTheFirst511BytesOfALongTemplateWithoutSplittingACharacter) {
  Settings settings;
  MainDialog dialog(settings, {});
  dialog.show();
  auto* box = control<QLineEdit>(dialog, kTemplateBoxId);
  box->clear();
  const QString typed = QString(511, 'a') + 'b';
  QTest::keyClicks(box, typed);
  ASSERT_EQ(box->text(), typed);
  dialog.close();
  EXPECT_EQ(settings.format, std::string(511, 'a'));

  // A two-byte character that would straddle the limit is left out whole.
  EXPECT_EQ(template_from_text(QString(510, 'a') + QChar(0xE9)), std::string(510, 'a'));
  EXPECT_EQ(template_from_text(QString(509, 'a') + QChar(0xE9)),
            std::string(509, 'a') + "\xC3\xA9");
}

// Each control's class, identifier and place in dialog units, in the
// template's order.
struct Placement {
  const char* type;
  int id;
  QRect units;
};
constexpr Placement kPlacements[] = {
    {"QLabel", -1, {28, 16, 123, 8}},         {"QLineEdit", 1000, {28, 28, 123, 12}},
    {"QPushButton", 1001, {59, 50, 66, 12}},  {"QGroupBox", -1, {28, 72, 123, 24}},
    {"QRadioButton", 1002, {33, 83, 53, 10}}, {"QRadioButton", 1003, {91, 83, 53, 10}},
};

TEST(MainDialog, IsAFixedFrameAtTheCornerWhoseControlsScaleWithTheFont) {
  Settings settings;
  for (const int point_size : {8, 16}) {
    QFont font = QApplication::font();
    font.setPointSize(point_size);
    const QFont previous = QApplication::font();
    QApplication::setFont(font);
    MainDialog dialog(settings, {});
    QApplication::setFont(previous);
    EXPECT_EQ(dialog.pos(), QPoint(0, 0));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMinMaxButtonsHint);

    // A unit is a quarter of the average letter width and an eighth of the
    // height; allow for rounding the base units and each measure.
    const QFontMetrics metrics(font);
    const double unit_x =
        metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 208.0;
    const double unit_y = metrics.height() / 8.0;
    auto near = [](int pixels, int units, double unit) {
      return std::abs(pixels - units * unit) <= 1 + unit + units / 8.0;
    };
    EXPECT_TRUE(near(dialog.width(), kDialogWidthUnits, unit_x)) << dialog.width();
    EXPECT_TRUE(near(dialog.height(), kDialogHeightUnits, unit_y)) << dialog.height();

    const QList<QWidget*> controls = dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(controls.size(), 6);
    for (int i = 0; i < 6; ++i) {
      const Placement& expected = kPlacements[i];
      const QRect rect = controls[i]->geometry();
      SCOPED_TRACE(i);
      EXPECT_TRUE(controls[i]->inherits(expected.type));
      EXPECT_EQ(controls[i]->property(kControlIdProperty).toInt(), expected.id);
      EXPECT_TRUE(near(rect.x(), expected.units.x(), unit_x) &&
                  near(rect.y(), expected.units.y(), unit_y) &&
                  near(rect.width(), expected.units.width(), unit_x) &&
                  near(rect.height(), expected.units.height(), unit_y));
    }
    // The radio buttons lie inside the group box that frames them.
    EXPECT_TRUE(
        controls[3]->geometry().contains(controls[4]->geometry() | controls[5]->geometry()));
  }
}

TEST(MainDialog, TabMovesFromTheTemplateBoxToRenameFilesToTheMethod) {
  Settings settings;
  MainDialog dialog(settings, {});
  dialog.show();
  dialog.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
  const std::vector<QWidget*> order = {control<QLineEdit>(dialog, kTemplateBoxId),
                                       control<QPushButton>(dialog, kRenameFilesId),
                                       control<QRadioButton>(dialog, kSelectedId),
                                       control<QLineEdit>(dialog, kTemplateBoxId)};
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i > 0) QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), order[i]) << i;
  }
}

}  // namespace
}  // namespace kestrune
