#pragma once

// The Qt side of a batch (the file-selection dialog and the message boxes)
// and the program's start and exit sequence.

#include <optional>

#include <QStringList>

#include "app/batch.h"

class QWidget;

namespace kestrune {

// The file dialog and the message boxes of one batch, modal to `owner`.
class QtShell : public BatchFrontEnd {
 public:
  explicit QtShell(QWidget* owner) : owner_(owner) {}

  // Selected picks one or more existing files of one folder; All Files picks
  // or types one name in an existing folder. After a confirmed choice the
  // current directory is the chosen folder; when it cannot be made current
  // the choice counts as failed and nothing is returned.
  std::optional<FileChoice> choose_files(const FileRequest& request) override;

  // Plain text, never read as markup; true only when the answer is Yes.
  bool show_message(const Message& message) override;

 private:
  QWidget* owner_;
};

// The confirmed absolute paths of the file dialog as a FileChoice: one path
// gives that path and no names; several give their folder and bare names.
// Nothing for an empty list or for paths from more than one folder.
std::optional<FileChoice> choice_from_paths(const QStringList& paths);

// The start and exit sequence, run inside a QApplication: the settings path
// from the current directory, read_settings, the main dialog modally,
// write_settings to the same path. When the current directory cannot be
// obtained, no settings file is read or written. Always answers 0.
int run_program();

}  // namespace kestrune
