#pragma once

// The main dialog: the name template, the rename method and "Rename Files".

#include <functional>
#include <string>

#include <QDialog>
#include <QRect>

#include "app/settings.h"

class QCloseEvent;
class QFontMetrics;
class QKeyEvent;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace kestrune {

// Control identifiers, kept on each widget as its objectName and as the
// dynamic property "controlId" (-1 for the label and the group box).
inline constexpr int kTemplateBoxId = 1000;
inline constexpr int kRenameFilesId = 1001;
inline constexpr int kSelectedId = 1002;
inline constexpr int kAllFilesId = 1003;
inline constexpr char kControlIdProperty[] = "controlId";

// The client area in dialog units.
inline constexpr int kDialogWidthUnits = 186;
inline constexpr int kDialogHeightUnits = 114;

// Dialog units measured on a font: a horizontal unit is a quarter of the
// average width of "A".."Z" and "a".."z", a vertical unit an eighth of the
// character height. Conversions round to the nearest pixel.
class DialogUnits {
 public:
  explicit DialogUnits(const QFontMetrics& metrics);
  int x(int units) const;
  int y(int units) const;
  QRect rect(int left, int top, int width, int height) const;

 private:
  int base_x_;
  int base_y_;
};

// The program's only window, of a fixed size at the top-left corner of the
// screen, with a close box and no minimise or maximise box.
class MainDialog : public QDialog {
  Q_OBJECT

 public:
  // Runs one batch with the settings as copied from the controls; the
  // dialog passes itself as the owner of the batch's windows.
  using BatchRunner = std::function<void(const Settings&, QWidget* owner)>;

  // `settings` must outlive the dialog; the dialog shows it on opening and
  // writes the controls back on each press of "Rename Files" and on closing.
  MainDialog(Settings& settings, BatchRunner run_batch, QWidget* parent = nullptr);

  // Escape and Enter never end the dialog; only closing does. Enter presses
  // "Rename Files" when that button has the focus, as Space does.
  void reject() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // The method becomes 1 when "All Files" is set, else 0. The template is
  // the box's text cut by template_from_text, unless the text is still the
  // one shown on opening: then the template keeps its bytes as read, which
  // need not be valid UTF-8.
  void copy_controls();
  void rename_files();

  Settings& settings_;
  BatchRunner run_batch_;
  const std::string opening_format_;
  QString opening_text_;
  QLineEdit* template_box_ = nullptr;
  QPushButton* rename_button_ = nullptr;
  QRadioButton* selected_ = nullptr;
  QRadioButton* all_files_ = nullptr;
};

// The template box's text as the name template: UTF-8, at most kMaxFormat
// bytes, cut before a character that would not fit whole.
std::string template_from_text(const QString& text);

}  // namespace kestrune
