#pragma once

#include <windows.h>

#include "app/batch.h"

namespace kestrune::win32 {

// The batch's file-selection request and message boxes, owned by `owner`
// (the main dialog).
class Win32FrontEnd : public BatchFrontEnd {
 public:
  explicit Win32FrontEnd(HWND owner) : owner_(owner) {}

  // GetOpenFileNameA with a zero-filled selection buffer of 16,777,215 bytes
  // obtained for this request and released before it returns. After a
  // choice the current directory is the chosen folder, however the user
  // named the files. Nothing when the user cancels, the buffer cannot be
  // obtained or the folder cannot be made the current directory.
  std::optional<FileChoice> choose_files(const FileRequest& request) override;

  // MessageBoxA; true only when the answer is IDYES.
  bool show_message(const Message& message) override;

 private:
  HWND owner_;
};

}  // namespace kestrune::win32
