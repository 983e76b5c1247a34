#include "app/win32/win32_front_end.h"

#include <commdlg.h>

#include <memory>
#include <new>

#include "app/win32/main_dialog.h"
#include "app/win32/selection.h"
#include "platform/platform.h"

namespace kestrune::win32 {

std::optional<FileChoice> Win32FrontEnd::choose_files(const FileRequest& request) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kSelectionBufferSize]());
  if (!buffer) return std::nullopt;
  const std::string filter = filter_text(request);

  OPENFILENAMEA dialog{};
  // The structure up to lpTemplateName, without the fields later versions
  // appended.
  dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  dialog.hwndOwner = owner_;
  dialog.hInstance = instance_handle();
  dialog.lpstrFilter = filter.c_str();
  dialog.nFilterIndex = 0;
  dialog.lpstrFile = buffer.get();
  dialog.nMaxFile = kSelectionBufferSize;
  dialog.lpstrTitle = request.title.c_str();
  dialog.Flags = open_file_flags(request);
  if (!GetOpenFileNameA(&dialog)) return std::nullopt;
  FileChoice choice = parse_selection(buffer.get(), kSelectionBufferSize);
  // The bare names of the All Files walk and every new name resolve in the
  // current directory. The dialog leaves it at the chosen folder only when
  // the user went there; after a typed full path it stays where it was.
  const std::string folder = choice.names.empty() ? folder_of(choice.first) : choice.first;
  if (!folder.empty() && !platform::change_directory(folder)) return std::nullopt;
  return choice;
}

bool Win32FrontEnd::show_message(const Message& message) {
  UINT style = message.buttons == MessageButtons::kYesNo ? MB_YESNO : MB_OK;
  style |= message.icon == MessageIcon::kWarning ? MB_ICONWARNING : MB_ICONINFORMATION;
  return MessageBoxA(owner_, message.text.c_str(), message.caption.c_str(), style) == IDYES;
}

}  // namespace kestrune::win32
