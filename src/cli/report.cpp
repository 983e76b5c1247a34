#include "cli/report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrune::cli {

void append_escaped(std::string& out, std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  auto hex = [&out](unsigned char byte) {
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  };
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte == '\\') {
      out += "\\\\";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      hex(byte);
    } else if (byte == 0xC2 && i + 1 < name.size() &&
               static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(name[i + 1]) <= 0x9F) {
      // A C1 control such as CSI (U+009B) starts escape sequences on
      // terminals that honour 8-bit controls.
      hex(byte);
      hex(static_cast<unsigned char>(name[++i]));
    } else {
      out += static_cast<char>(byte);
    }
  }
}

std::string escaped(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  append_escaped(out, name);
  return out;
}

namespace {

// Why a file with no tag that the reader reads was skipped: what begins it,
// and, when the reader was the ID3v2.3 one, the option that reads it.
std::string no_tag_reason(Id3v2Kind kind, bool any_id3v2) {
  std::string tag;
  switch (kind) {
    case Id3v2Kind::kNone:
      return "no ID3 tag";
    case Id3v2Kind::kOtherVersion:
      return "ID3v2 tag of an unknown version not read";
    case Id3v2Kind::kId3v23:
      tag = "ID3v2.3 tag";
      break;
    case Id3v2Kind::kId3v23Unsynchronised:
      tag = "ID3v2.3 tag with unsynchronisation";
      break;
    case Id3v2Kind::kId3v23OtherFlags:
      tag = "ID3v2.3 tag with header flags";
      break;
    case Id3v2Kind::kId3v24:
      tag = "ID3v2.4 tag";
      break;
    case Id3v2Kind::kId3v22:
      tag = "ID3v2.2 tag";
      break;
  }
  return tag + (any_id3v2 ? " not readable" : " not read (--any-id3v2 reads it)");
}

}  // namespace

std::string plan_reason(const RenamePlan& plan, bool any_id3v2) {
  switch (plan.outcome) {
    case PlanOutcome::kRename:
      return "";
    case PlanOutcome::kSkipNoArgument:
      return "empty file name";
    case PlanOutcome::kSkipNotRegular:
      switch (plan.kind) {
        case platform::EntryKind::kMissing:
          return "no such file";
        case platform::EntryKind::kFolder:
          return "is a folder";
        case platform::EntryKind::kDanglingLink:
          return "not a regular file: a link to nothing";
        case platform::EntryKind::kDevice:
          return "not a regular file: a device";
        case platform::EntryKind::kFifo:
          return "not a regular file: a FIFO";
        case platform::EntryKind::kSocket:
          return "not a regular file: a socket";
        default:
          return "not a regular file";
      }
    case PlanOutcome::kFailUnreadable:
      return plan.error == EACCES || plan.error == EPERM ? "permission denied"
             : plan.error == EIO                         ? "input/output error"
                                                         : "cannot be opened";
    case PlanOutcome::kSkipNoTag:
      return no_tag_reason(plan.tag_kind, any_id3v2);
    case PlanOutcome::kSkipNotMp3Name:
      return "not an .mp3 file name";
    case PlanOutcome::kRefuseLeavesFolder:
      return "tag text would leave the folder";
    case PlanOutcome::kRefuseControlCharacter:
      return "the new name would hold a control character";
    case PlanOutcome::kRefuseTooLong:
      return "name too long";
    case PlanOutcome::kRefuseSlash:
      return "the name holds a '/'";
    case PlanOutcome::kRefusePartTooLong:
#ifdef _WIN32
      return "a name part is longer than " + std::to_string(plan.part_limit) + " characters";
#else
      return "a name part is longer than " + std::to_string(plan.part_limit) + " bytes";
#endif
    case PlanOutcome::kFailTarget:
      return errno_reason(plan.error);
  }
  return "unknown reason";
}

std::string errno_reason(int error) {
  switch (error) {
    case EEXIST:
    case ENOTEMPTY:
      return "target exists";
    case EACCES:
    case EPERM:
      return "permission denied";
    case ENOENT:
      return "file or folder missing";
    case ENOTDIR:
      return "a folder of the new name is a file";
    case EISDIR:
      return "target is a folder";
    case ENAMETOOLONG:
      return "name too long";
    case EXDEV:
      return "target is on another file system";
    case ENOSPC:
      return "no space left on the disk";
    case EROFS:
      return "read-only file system";
    case EBUSY:
      return "file in use";
    case EINVAL:
      return "invalid name";
    case EIO:
      return "input/output error";
    case EOPNOTSUPP:  // only a rename refused by rename_no_replace
      return "this file system cannot rename without risk of replacing a file saved at the same "
             "moment; --allow-racy-rename accepts the risk";
    default: {
      std::string text = std::strerror(error);
      if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
      return text;
    }
  }
}

}  // namespace kestrune::cli
