// Program start on Linux: check that a display can be opened, then run the
// start and exit sequence. Command-line arguments are ignored, Qt's own
// options included.

#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QStringList>

#include "app/qt/qt_shell.h"

namespace {

bool is_set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

// Qt's messages while QApplication is being built, held back until it is
// known whether the platform plugin started.
QStringList& held_messages() {
  static QStringList messages;
  return messages;
}

// A fatal message at this point means that the platform plugin could not
// start, most often because the display cannot be opened. Qt would print
// several lines of advice and abort; one clear line is enough.
void hold_start_message(QtMsgType type, const QMessageLogContext&, const QString& text) {
  if (type != QtFatalMsg) {
    held_messages() << text;
    return;
  }
  std::fprintf(stderr, "kestrune: cannot open the display \"%s\"; the dialog needs one\n",
               is_set("DISPLAY") ? std::getenv("DISPLAY") : "");
  std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (!is_set("QT_QPA_PLATFORM") && !is_set("DISPLAY") && !is_set("WAYLAND_DISPLAY")) {
    std::fprintf(stderr,
                 "kestrune: no display to open the dialog on (neither DISPLAY nor "
                 "WAYLAND_DISPLAY is set)\n");
    return 1;
  }
  int qt_argc = argc > 0 ? 1 : 0;
  const QtMessageHandler previous = qInstallMessageHandler(hold_start_message);
  QApplication application(qt_argc, argv);
  qInstallMessageHandler(previous);
  for (const QString& text : held_messages()) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
  }
  held_messages().clear();
  return kestrune::run_program();
}
