#include "app/qt/main_dialog.h"

#include <algorithm>

#include <QCloseEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace kestrune {

namespace {

// a * b / c rounded to the nearest integer, for non-negative values.
int scale(int a, int b, int c) { return (a * b + c / 2) / c; }

// Places `widget` by its rectangle in dialog units and names it by its
// control identifier.
void place(QWidget* widget, const DialogUnits& units, int id, const QRect& rect_units) {
  widget->setGeometry(units.rect(rect_units.x(), rect_units.y(), rect_units.width(),
                                 rect_units.height()));
  widget->setProperty(kControlIdProperty, id);
  if (id != -1) widget->setObjectName(QString::number(id));
}

}  // namespace

DialogUnits::DialogUnits(const QFontMetrics& metrics) {
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  // The average over the 52 letters, rounded: (letters / 26 + 1) / 2.
  base_x_ = std::max(1, (letters / 26 + 1) / 2);
  base_y_ = std::max(1, metrics.height());
}

int DialogUnits::x(int units) const { return scale(units, base_x_, 4); }

int DialogUnits::y(int units) const { return scale(units, base_y_, 8); }

QRect DialogUnits::rect(int left, int top, int width, int height) const {
  return QRect(x(left), y(top), x(width), y(height));
}

std::string template_from_text(const QString& text) {
  std::string bytes = text.toStdString();
  if (bytes.size() <= kMaxFormat) return bytes;
  std::size_t end = kMaxFormat;
  // Step back over continuation bytes so that no character is split.
  while (end > 0 && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) --end;
  bytes.resize(end);
  return bytes;
}

MainDialog::MainDialog(Settings& settings, BatchRunner run_batch, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      settings_(settings),
      run_batch_(std::move(run_batch)),
      opening_format_(settings.format) {
  setWindowTitle(QStringLiteral("Kestrune"));
  const DialogUnits units(fontMetrics());

  // Created in the template's order, which is also the stacking order: the
  // group box lies under the radio buttons it frames.
  auto* format_label = new QLabel(QStringLiteral("Format"), this);
  format_label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  format_label->setTextFormat(Qt::PlainText);
  place(format_label, units, -1, {28, 16, 123, 8});

  template_box_ = new QLineEdit(this);
  place(template_box_, units, kTemplateBoxId, {28, 28, 123, 12});

  rename_button_ = new QPushButton(QStringLiteral("Rename Files"), this);
  // A plain button, never the default: Enter presses it only while it has
  // the focus (keyPressEvent).
  rename_button_->setAutoDefault(false);
  rename_button_->setDefault(false);
  place(rename_button_, units, kRenameFilesId, {59, 50, 66, 12});

  auto* method_group = new QGroupBox(QStringLiteral("Rename Method"), this);
  place(method_group, units, -1, {28, 72, 123, 24});

  // Siblings with autoExclusive set form one group: a click sets one and
  // clears the other.
  selected_ = new QRadioButton(QStringLiteral("Selected"), this);
  place(selected_, units, kSelectedId, {33, 83, 53, 10});
  all_files_ = new QRadioButton(QStringLiteral("All Files"), this);
  place(all_files_, units, kAllFilesId, {91, 83, 53, 10});

  setTabOrder(template_box_, rename_button_);
  setTabOrder(rename_button_, selected_);
  setTabOrder(selected_, all_files_);

  connect(rename_button_, &QPushButton::clicked, this, [this] { rename_files(); });

  template_box_->setText(QString::fromStdString(settings_.format));
  opening_text_ = template_box_->text();
  template_box_->selectAll();
  (settings_.method == 0 ? selected_ : all_files_)->setChecked(true);
  // Tab reaches the set radio button only, as a group of radio buttons does
  // in a Windows dialog; the arrow keys still move between the two.
  const auto tab_to_set_button = [this] {
    for (QRadioButton* button : {selected_, all_files_}) {
      button->setFocusPolicy(button->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
    }
  };
  tab_to_set_button();
  connect(selected_, &QRadioButton::toggled, this, tab_to_set_button);
  template_box_->setFocus(Qt::OtherFocusReason);

  setFixedSize(units.x(kDialogWidthUnits), units.y(kDialogHeightUnits));
  move(0, 0);
}

void MainDialog::copy_controls() {
  settings_.method = all_files_->isChecked() ? 1 : 0;
  const QString text = template_box_->text();
  settings_.format = text == opening_text_ ? opening_format_ : template_from_text(text);
}

void MainDialog::rename_files() {
  copy_controls();
  if (run_batch_) run_batch_(settings_, this);
}

void MainDialog::reject() {}

void MainDialog::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      // A plain button lets Enter through to the dialog.
      if (focusWidget() == rename_button_) rename_button_->click();
      [[fallthrough]];
    case Qt::Key_Escape:
      event->accept();
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}

void MainDialog::closeEvent(QCloseEvent* event) {
  copy_controls();
  done(0);
  event->accept();
}

}  // namespace kestrune
