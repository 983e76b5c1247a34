#pragma once

// The pure parts of the file-selection request: its flags, its filter text
// and the reading of the selection buffer it fills.

#include <windows.h>

#include <commdlg.h>

#include <cstddef>
#include <string>

#include "app/batch.h"

namespace kestrune::win32 {

// 16,777,215 bytes: the largest selection result the request may return.
inline constexpr DWORD kSelectionBufferSize = 0xFFFFFF;

// OFN_EXPLORER, OFN_FILEMUSTEXIST and OFN_ALLOWMULTISELECT as the request
// asks, always with OFN_PATHMUSTEXIST and OFN_HIDEREADONLY: 0x81A04 for
// Selected, 0x804 for All Files.
DWORD open_file_flags(const FileRequest& request);

// Description and pattern of each filter, each ended by a zero byte, and
// one more zero byte behind the last pair.
std::string filter_text(const FileRequest& request);

// Reads the selection buffer in either layout: the full path of one file
// followed by an empty string, or a folder followed by the bare names of the
// picked files and an empty string. Never reads past `size` bytes; a string
// that the buffer's end cuts off ends there. The folder is kept as it is,
// a trailing backslash (a drive's root folder) included.
FileChoice parse_selection(const char* buffer, std::size_t size);

}  // namespace kestrune::win32
