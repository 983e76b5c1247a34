#pragma once

// How the tag and plan targets read their input: a name template, a zero
// byte, then the MP3 image. An input without a zero byte in its first
// 512 bytes is all image, expanded with a template of every token.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace kestrune::fuzz {

inline constexpr char kEveryToken[] =
    "%artist%\\%album%\\%track% %title% (%year%, %comment%)%%%unknown%";
inline constexpr std::size_t kTemplateReach = 512;

struct FuzzInput {
  std::string pattern;
  std::vector<char> image;  // exactly the image's bytes, for the sanitizers
};

inline FuzzInput split_input(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  const std::size_t reach = size < kTemplateReach ? size : kTemplateReach;
  const void* zero = reach == 0 ? nullptr : std::memchr(bytes, 0, reach);
  FuzzInput input;
  if (zero == nullptr) {
    input.pattern = kEveryToken;
    input.image.assign(bytes, bytes + size);
  } else {
    const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(zero) - bytes);
    input.pattern.assign(bytes, length);
    input.image.assign(bytes + length + 1, bytes + size);
  }
  return input;
}

// A real stdio stream reading the image from memory; null for an empty image
// where the C library does not allow one.
inline platform::FilePtr memory_stream(std::vector<char>& image) {
  if (image.empty()) return platform::FilePtr(std::tmpfile());
  return platform::FilePtr(::fmemopen(image.data(), image.size(), "rb"));
}

// Reports a broken promise as a crash, which both libFuzzer and the replay
// run treat as a finding.
inline void require(bool promise) {
  if (!promise) std::abort();
}

}  // namespace kestrune::fuzz
