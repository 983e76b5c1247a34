#include "app/qt/main_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "app/batch.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

// Records what a batch asked of its front end; the selection is cancelled
// unless a choice is given.
struct FakeFrontEnd : BatchFrontEnd {
  std::optional<FileChoice> choice;
  std::vector<FileRequest> requests;
  std::vector<Settings> settings_at_request;
  std::vector<Message> messages;
  const Settings* current = nullptr;

  std::optional<FileChoice> choose_files(const FileRequest& request) override {
    requests.push_back(request);
    settings_at_request.push_back(*current);
    return choice;
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

TEST(MainDialog, ClosingCopiesTheControlsIntoTheSettings) {
  Settings settings;
  MainDialog dialog(settings, {});
  dialog.show();
  control<QLineEdit>(dialog, kTemplateBoxId)->setText("%album%\\%track% %title%");
  QTest::mouseClick(control<QRadioButton>(dialog, kAllFilesId), Qt::LeftButton);
  EXPECT_TRUE(dialog.close());
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(settings.method, 1);
  EXPECT_EQ(settings.format, "%album%\\%track% %title%");

  // And back: "Selected" stores 0, whatever the file held before.
  Settings from_file{7, "x"};
  MainDialog again(from_file, {});
  again.show();
  QTest::mouseClick(control<QRadioButton>(again, kSelectedId), Qt::LeftButton);
  again.close();
  EXPECT_EQ(from_file.method, 0);
}

TEST(MainDialog, PressCopiesTheControlsBeforeTheBatchEvenWhenTheSelectionIsCancelled) {
  Settings settings;
  FakeFrontEnd fake;
  MainDialog dialog(settings, runner_for(fake));
  dialog.show();
  control<QLineEdit>(dialog, kTemplateBoxId)->setText("%year%");
  QTest::mouseClick(control<QRadioButton>(dialog, kAllFilesId), Qt::LeftButton);
  QTest::mouseClick(control<QPushButton>(dialog, kRenameFilesId), Qt::LeftButton);

  ASSERT_EQ(fake.requests.size(), 1u);
  EXPECT_EQ(fake.settings_at_request[0].method, 1);
  EXPECT_EQ(fake.settings_at_request[0].format, "%year%");
  EXPECT_FALSE(fake.requests[0].allow_multiple);  // the All Files request
  EXPECT_TRUE(fake.messages.empty());             // a cancel ends silently
  EXPECT_EQ(settings.method, 1);
  EXPECT_EQ(settings.format, "%year%");
  EXPECT_TRUE(dialog.isVisible());
}

TEST(MainDialog, PressRenamesTheChosenFileAndReportsSuccess) {
  test::TempFolder folder;
  test::TrailerFields fields;
  fields.title = "Song";
  fields.artist = "Band";
  test::write_bytes(folder.path() / "track01.mp3", std::string(64, 'a') + test::id3v1_trailer(fields));

  Settings settings;
  FakeFrontEnd fake;
  fake.choice = FileChoice{(folder.path() / "track01.mp3").string(), {}};
  MainDialog dialog(settings, runner_for(fake));
  dialog.show();
  QTest::mouseClick(control<QPushButton>(dialog, kRenameFilesId), Qt::LeftButton);

  EXPECT_TRUE(std::filesystem::exists(folder.path() / "Band - Song.mp3"));
  EXPECT_FALSE(std::filesystem::exists(folder.path() / "track01.mp3"));
  ASSERT_EQ(fake.messages.size(), 1u);
  EXPECT_EQ(fake.messages[0].caption, "Success");
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

TEST(MainDialog, IsAFixedFrameWithACloseBoxAtTheTopLeftCorner) {
  Settings settings;
  MainDialog dialog(settings, {});
  EXPECT_EQ(dialog.windowTitle(), "Kestrune");
  const Qt::WindowFlags flags = dialog.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_EQ(dialog.pos(), QPoint(0, 0));
}

// Left, top, width and height in dialog units, by identifier and text.
struct Placement {
  const char* type;
  int id;
  const char* text;
  QRect units;
};
constexpr Placement kPlacements[] = {
    {"QLabel", -1, "Format", {28, 16, 123, 8}},
    {"QLineEdit", 1000, "", {28, 28, 123, 12}},
    {"QPushButton", 1001, "Rename Files", {59, 50, 66, 12}},
    {"QGroupBox", -1, "Rename Method", {28, 72, 123, 24}},
    {"QRadioButton", 1002, "Selected", {33, 83, 53, 10}},
    {"QRadioButton", 1003, "All Files", {91, 83, 53, 10}},
};

QString text_of(QWidget* widget) {
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title();
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
  return {};
}

TEST(MainDialog, PlacesTheSixControlsInOrderAndScalesThemWithTheFont) {
  Settings settings{0, ""};
  for (const int point_size : {8, 16}) {
    QFont font = QApplication::font();
    font.setPointSize(point_size);
    const QFont previous = QApplication::font();
    QApplication::setFont(font);
    MainDialog dialog(settings, {});
    QApplication::setFont(previous);

    const QFontMetrics metrics(font);
    const double unit_x =
        metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz") / 52.0 / 4;
    const double unit_y = metrics.height() / 8.0;
    // Rounding of the base units and of each measure: within a pixel and a unit.
    auto near = [](int pixels, int units, double unit) {
      return std::abs(pixels - units * unit) <= 1 + unit + units * 0.5 / 4;
    };
    EXPECT_TRUE(near(dialog.width(), kDialogWidthUnits, unit_x)) << dialog.width();
    EXPECT_TRUE(near(dialog.height(), kDialogHeightUnits, unit_y)) << dialog.height();

    QList<QWidget*> controls;
    for (QObject* child : dialog.children()) {
      if (child->isWidgetType()) controls << static_cast<QWidget*>(child);
    }
    ASSERT_EQ(controls.size(), 6);
    const DialogUnits units(metrics);
    for (int i = 0; i < 6; ++i) {
      const Placement& expected = kPlacements[i];
      QWidget* widget = controls[i];
      SCOPED_TRACE(expected.text);
      EXPECT_TRUE(widget->inherits(expected.type));
      EXPECT_EQ(widget->property(kControlIdProperty).toInt(), expected.id);
      EXPECT_EQ(text_of(widget), expected.text);
      EXPECT_TRUE(near(widget->x(), expected.units.x(), unit_x));
      EXPECT_TRUE(near(widget->y(), expected.units.y(), unit_y));
      EXPECT_TRUE(near(widget->width(), expected.units.width(), unit_x));
      EXPECT_TRUE(near(widget->height(), expected.units.height(), unit_y));
      EXPECT_TRUE(dialog.rect().contains(widget->geometry()));
    }
    // The radio buttons lie inside the group box that frames them.
    EXPECT_TRUE(controls[3]->geometry().contains(controls[4]->geometry()));
    EXPECT_TRUE(controls[3]->geometry().contains(controls[5]->geometry()));
  }
}

TEST(MainDialog, TabMovesFromTheTemplateBoxToRenameFilesToTheMethod) {
  Settings settings;
  MainDialog dialog(settings, {});
  dialog.show();
  dialog.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
  EXPECT_EQ(QApplication::focusWidget(), control<QLineEdit>(dialog, kTemplateBoxId));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), control<QPushButton>(dialog, kRenameFilesId));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), control<QRadioButton>(dialog, kSelectedId));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), control<QLineEdit>(dialog, kTemplateBoxId));
}

}  // namespace
}  // namespace kestrune
