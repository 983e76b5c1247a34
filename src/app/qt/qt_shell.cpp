#include "app/qt/qt_shell.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

#include "app/qt/main_dialog.h"
#include "platform/platform.h"
#include "runs/engine.h"

namespace kestrune {

namespace {

std::string host_string(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The file-selection dialog. Qt's own widgets rather than a desktop's native
// dialog, so that the choice behaves alike on every desktop.
class FileDialog : public QFileDialog {
 public:
  FileDialog(QWidget* owner, const FileRequest& request)
      : QFileDialog(owner, QString::fromStdString(request.title)) {
    setOption(QFileDialog::DontUseNativeDialog);
    setAcceptMode(QFileDialog::AcceptOpen);
    if (request.file_must_exist) {
      setFileMode(request.allow_multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    } else {
      setFileMode(QFileDialog::AnyFile);
    }
    QStringList filters;
    for (const auto& [description, pattern] : request.filters) {
      // Qt reads the patterns from the parentheses of the description.
      const QString text = QString::fromStdString(description);
      const QString suffix = QStringLiteral(" (%1)").arg(QString::fromStdString(pattern));
      filters << (text.endsWith(suffix) ? text : text + suffix);
    }
    setNameFilters(filters);
    if (!filters.isEmpty()) selectNameFilter(filters.first());
  }

  void accept() override {
    const QStringList files = selectedFiles();
    if (fileMode() == QFileDialog::AnyFile && !files.isEmpty()) {
      const QFileInfo picked(files.first());
      if (!picked.isDir() && !QFileInfo(picked.absolutePath()).isDir()) {
        refuse(tr("The folder %1 does not exist.")
                   .arg(QDir::toNativeSeparators(picked.absolutePath())));
        return;
      }
    }
    if (files.size() > 1 && !choice_from_paths(files)) {
      refuse(tr("The files must all be in one folder."));
      return;
    }
    QFileDialog::accept();
  }

 private:
  void refuse(const QString& text) {
    QMessageBox box(QMessageBox::Warning, windowTitle(), text, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
  }
};

}  // namespace

std::optional<FileChoice> choice_from_paths(const QStringList& paths) {
  if (paths.isEmpty()) return std::nullopt;
  FileChoice choice;
  if (paths.size() == 1) {
    choice.first = host_string(QFileInfo(paths.first()).absoluteFilePath());
    return choice;
  }
  const QString folder = QFileInfo(paths.first()).absolutePath();
  for (const QString& path : paths) {
    const QFileInfo info(path);
    if (info.absolutePath() != folder) return std::nullopt;
    choice.names.push_back(host_string(info.fileName()));
  }
  choice.first = host_string(folder);
  return choice;
}

std::optional<FileChoice> QtShell::choose_files(const FileRequest& request) {
  FileDialog dialog(owner_, request);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList paths = dialog.selectedFiles();
  std::optional<FileChoice> choice = choice_from_paths(paths);
  if (!choice) return std::nullopt;
  // The batch resolves bare names and new names in the chosen folder.
  const std::string folder =
      choice->names.empty() ? host_string(QFileInfo(paths.first()).absolutePath()) : choice->first;
  if (!platform::change_directory(folder)) return std::nullopt;
  return choice;
}

bool QtShell::show_message(const Message& message) {
  const bool yes_no = message.buttons == MessageButtons::kYesNo;
  QMessageBox box(message.icon == MessageIcon::kWarning ? QMessageBox::Warning
                                                        : QMessageBox::Information,
                  QString::fromStdString(message.caption), QString::fromStdString(message.text),
                  yes_no ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner_);
  // File names may look like markup; they are shown as they are.
  box.setTextFormat(Qt::PlainText);
  return box.exec() == QMessageBox::Yes;
}

int run_program() {
  Settings settings;
  // Fixed now: the file dialog moves the current directory later on.
  const std::optional<std::string> folder = platform::current_directory();
  const std::string path = folder ? settings_path(*folder) : std::string();
  if (!path.empty()) read_settings(settings, path);
  {
    MainDialog dialog(settings, [](const Settings& current, QWidget* owner) {
      QtShell shell(owner);
      run_batch(current, shell, runs::start_dialog_journal);
    });
    dialog.exec();
  }
  if (!path.empty()) write_settings(settings, path);
  return 0;
}

}  // namespace kestrune
