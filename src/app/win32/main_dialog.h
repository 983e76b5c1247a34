#pragma once

// The main dialog, template 101, and the program-wide values it shares with
// the start sequence.

#include <windows.h>

#include "app/settings.h"

namespace kestrune::win32 {

inline constexpr WORD kMainDialog = 101;
inline constexpr int kTemplateBox = 1000;
inline constexpr int kRenameFilesButton = 1001;
inline constexpr int kSelectedButton = 1002;
inline constexpr int kAllFilesButton = 1003;

// The program's instance handle, kept by the start sequence; null before.
HINSTANCE instance_handle();
void keep_instance_handle(HINSTANCE instance);

// The one `Settings` record, alive from start to exit.
Settings& program_settings();

// The main dialog's procedure. WM_INITDIALOG shows the settings; "Rename
// Files" copies the controls into them and runs one batch; WM_CLOSE copies
// them and ends the dialog. Every WM_COMMAND is handled, so neither Enter
// (IDOK) nor Escape (IDCANCEL) closes it.
INT_PTR CALLBACK main_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

}  // namespace kestrune::win32
