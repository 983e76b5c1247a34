#include "corpus/corpus.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

namespace kestrune::corpus {
namespace {

constexpr std::size_t kPictureFrameBody = 64 * 1024;
// MPEG-1 Layer III, no CRC, 128 kbit/s, 44,100 Hz, no padding, joint stereo:
// 144 * 128000 / 44100 = 417 bytes per frame, header included.
constexpr unsigned char kFrameHeader[4] = {0xFF, 0xFB, 0x90, 0x64};
constexpr std::size_t kAudioFrameSize = 417;
constexpr std::size_t kAudioFrames = 2;

void put_be32(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>((value >> 24) & 0xFF));
  out.push_back(static_cast<char>((value >> 16) & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
  out.push_back(static_cast<char>(value & 0xFF));
}

void put_syncsafe(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>((value >> 21) & 0x7F));
  out.push_back(static_cast<char>((value >> 14) & 0x7F));
  out.push_back(static_cast<char>((value >> 7) & 0x7F));
  out.push_back(static_cast<char>(value & 0x7F));
}

void put_frame(std::string& out, std::string_view id, std::string_view body) {
  out.append(id);
  put_be32(out, static_cast<std::uint32_t>(body.size()));
  out.append(2, '\0');  // status and format flags
  out.append(body);
}

// UTF-8 to UTF-16LE code units (the texts here hold only the BMP).
void put_utf16le(std::string& out, std::string_view utf8) {
  for (std::size_t i = 0; i < utf8.size();) {
    auto byte = static_cast<unsigned char>(utf8[i]);
    std::uint32_t unit = byte;
    std::size_t length = 1;
    if (byte >= 0xE0 && i + 2 < utf8.size()) {
      unit = ((byte & 0x0Fu) << 12) | ((static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu) << 6) |
             (static_cast<unsigned char>(utf8[i + 2]) & 0x3Fu);
      length = 3;
    } else if (byte >= 0xC0 && i + 1 < utf8.size()) {
      unit = ((byte & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
      length = 2;
    }
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>((unit >> 8) & 0xFF));
    i += length;
  }
}

// A text frame body: encoding 0 with the bytes, or encoding 1 with the mark
// FF FE and a terminating zero unit.
std::string text_body(std::string_view text, bool utf16) {
  std::string body;
  if (utf16) {
    body.push_back('\x01');
    body.append("\xFF\xFE", 2);
    put_utf16le(body, text);
    body.append(2, '\0');
  } else {
    body.push_back('\x00');
    body.append(text);
  }
  return body;
}

// ID3v2.3.0, section 4.11: encoding, language, description, text.
std::string comment_body(std::string_view text, bool utf16) {
  std::string body;
  body.push_back(utf16 ? '\x01' : '\x00');
  body.append("eng");
  if (utf16) {
    body.append("\xFF\xFE\0\0", 4);  // empty description with its mark
    body.append("\xFF\xFE", 2);
    put_utf16le(body, text);
  } else {
    body.push_back('\0');
    body.append(text);
  }
  return body;
}

// ID3v2.3.0, section 4.15: encoding, MIME type, picture type, description,
// then picture data filling the body to 64 KiB.
std::string picture_body(std::size_t index) {
  std::string body;
  body.reserve(kPictureFrameBody);
  body.push_back('\x00');
  body.append("image/jpeg");
  body.push_back('\0');
  body.push_back('\x03');  // front cover
  body.push_back('\0');    // empty description
  body.append("\xFF\xD8\xFF\xE0", 4);
  std::uint32_t state = static_cast<std::uint32_t>(index) * 2654435761u + 1;
  while (body.size() < kPictureFrameBody) {
    state = state * 1664525u + 1013904223u;
    body.push_back(static_cast<char>(state >> 24));
  }
  return body;
}

std::string year_of(std::size_t index) { return std::to_string(1970 + index % 50); }
std::string album_of(std::size_t index) { return "Album " + std::to_string(index / 12); }
std::string track_of(std::size_t index) { return std::to_string(index % 12 + 1) + "/12"; }
std::string comment_of(std::size_t index) { return "Corpus file " + std::to_string(index); }

void put_field(std::string& out, std::string_view text, std::size_t width) {
  std::string field(text.substr(0, width));
  field.resize(width, '\0');
  out.append(field);
}

std::string trailer(std::size_t index) {
  std::string out = "TAG";
  // The ID3v1 fields hold plain ASCII, so the accented artist is spelled
  // without its accent here.
  put_field(out, "Title " + std::to_string(index), 30);
  put_field(out, "Artist " + std::to_string(index % 50), 30);
  put_field(out, album_of(index), 30);
  put_field(out, year_of(index), 4);
  put_field(out, comment_of(index), 28);
  out.push_back('\0');                                        // ID3v1.1 marker
  out.push_back(static_cast<char>(index % 12 + 1));           // track
  out.push_back(static_cast<char>(12));                       // genre: Other
  return out;
}

}  // namespace

bool title_is_utf16(std::size_t index) { return index % 3 == 1; }

std::string artist_of(std::size_t index) {
  std::string name = title_is_utf16(index) ? "Art\xC3\xA9st " : "Artist ";
  return name + std::to_string(index % 50);
}

std::string title_of(std::size_t index) { return "Title " + std::to_string(index); }

std::string make_mp3(std::size_t index) {
  const bool utf16 = title_is_utf16(index);
  std::string frames;
  put_frame(frames, "TIT2", text_body(title_of(index), utf16));
  put_frame(frames, "TPE1", text_body(artist_of(index), utf16));
  put_frame(frames, "TALB", text_body(album_of(index), false));
  put_frame(frames, "TYER", text_body(year_of(index), false));
  put_frame(frames, "TRCK", text_body(track_of(index), false));
  put_frame(frames, "COMM", comment_body(comment_of(index), index % 3 == 2));
  if (index % 4 == 3) put_frame(frames, "APIC", picture_body(index));
  const std::size_t padding = 256 + (index % 7) * 64;

  std::string out;
  out.reserve(10 + frames.size() + padding + kAudioFrames * kAudioFrameSize + 128);
  out.append("ID3\x03\x00\x00", 6);  // version 2.3.0, no flags
  put_syncsafe(out, static_cast<std::uint32_t>(frames.size() + padding));
  out.append(frames);
  out.append(padding, '\0');
  for (std::size_t i = 0; i < kAudioFrames; ++i) {
    out.append(reinterpret_cast<const char*>(kFrameHeader), sizeof kFrameHeader);
    out.append(kAudioFrameSize - sizeof kFrameHeader, '\0');
  }
  if (index % 2 == 1) out.append(trailer(index));
  return out;
}

std::string file_name(std::size_t index) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%06zu", index);
  return std::string("track_") + digits + ".mp3";
}

bool write_corpus(const std::string& folder, std::size_t count) {
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '/') prefix.push_back('/');
  for (std::size_t index = 0; index < count; ++index) {
    const std::string path = prefix + file_name(index);
    std::unique_ptr<std::FILE, Closer> file(std::fopen(path.c_str(), "wb"));
    if (!file) return false;
    const std::string bytes = make_mp3(index);
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return false;
    if (std::fclose(file.release()) != 0) return false;
  }
  return true;
}

}  // namespace kestrune::corpus
