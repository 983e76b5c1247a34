#include "app/win32/main_dialog.h"

#include "app/batch.h"
#include "app/win32/win32_front_end.h"
#include "runs/engine.h"

namespace kestrune::win32 {

namespace {

HINSTANCE program_instance = nullptr;

void copy_controls_into_settings(HWND dialog) {
  Settings& settings = program_settings();
  settings.method = IsDlgButtonChecked(dialog, kAllFilesButton) == BST_CHECKED ? 1 : 0;
  // 512 bytes: longer text is cut at 511 characters.
  char format[kMaxFormat + 1] = {};
  GetDlgItemTextA(dialog, kTemplateBox, format, sizeof format);
  settings.format = format;
}

}  // namespace

HINSTANCE instance_handle() { return program_instance; }

void keep_instance_handle(HINSTANCE instance) { program_instance = instance; }

Settings& program_settings() {
  static Settings settings;
  return settings;
}

INT_PTR CALLBACK main_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: {
      const Settings& settings = program_settings();
      SetDlgItemTextA(dialog, kTemplateBox, settings.format.c_str());
      CheckRadioButton(dialog, kSelectedButton, kAllFilesButton,
                       settings.method == 0 ? kSelectedButton : kAllFilesButton);
      // Nonzero: the focus goes to the first tab stop, the template box.
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wparam) == kRenameFilesButton) {
        copy_controls_into_settings(dialog);
        Win32FrontEnd front_end(dialog);
        run_batch(program_settings(), front_end, runs::start_dialog_journal);
      }
      return TRUE;
    case WM_CLOSE:
      copy_controls_into_settings(dialog);
      EndDialog(dialog, 0);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace kestrune::win32
