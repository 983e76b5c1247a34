// The program's start and exit: read the settings, run the main dialog
// modally, write the settings back.

#include <windows.h>

#include "app/settings.h"
#include "app/win32/main_dialog.h"
#include "platform/platform.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  using namespace kestrune;
  win32::keep_instance_handle(instance);
  // The path is fixed now: the file-selection dialog moves the current
  // directory later, and the settings stay where the program started.
  const std::optional<std::string> folder = platform::current_directory();
  const std::string path = folder ? settings_path(*folder) : std::string();
  Settings& settings = win32::program_settings();
  if (!path.empty()) read_settings(settings, path);
  DialogBoxParamA(instance, MAKEINTRESOURCEA(win32::kMainDialog), nullptr,
                  win32::main_dialog_procedure, 0);
  if (!path.empty()) write_settings(settings, path);
  return 0;
}
