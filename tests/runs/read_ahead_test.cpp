#include "runs/read_ahead.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "corpus/corpus.h"
#include "platform/platform.h"
#include "rename/rename.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

// Seen through the read-ahead view, every file plans exactly as it does
// through a plain stream: files that fit the head, tags that run past it
// (the 64 KiB picture), trailers, and files cut at the edges of the head
// and of the tail.
TEST(ReadAhead, PlansExactlyAsThePlainStreamDoes) {
  test::TempFolder temp;
  const std::string pattern = "%artist%|%title%|%album%|%year%|%track%|%comment%";
  runs::ReadAhead view;
  for (std::size_t index = 0; index < 8; ++index) {
    const std::string bytes = corpus::make_mp3(index);
    const std::size_t size = bytes.size();
    std::set<std::size_t> lengths = {0, 1, 10, 11, 127, 128, 129, 300, 4095, 4096, 4097, 4224};
    for (std::size_t back = 0; back <= 130; back += 1) {
      if (back <= size) lengths.insert(size - back);
    }
    for (const std::size_t length : lengths) {
      if (length > size) continue;
      SCOPED_TRACE("file " + std::to_string(index) + " cut to " + std::to_string(length));
      test::write_bytes("f.mp3", std::string_view(bytes).substr(0, length));
      const RenamePlan plain = plan_rename(std::string("f.mp3"), pattern);
      std::FILE* stream = view.open(platform::open_regular_file("f.mp3"));
      ASSERT_NE(stream, nullptr);
      const RenamePlan seen = plan_rename(stream, pattern);
      view.close();
      EXPECT_EQ(seen.outcome, plain.outcome);
      EXPECT_EQ(seen.new_name, plain.new_name);
    }
  }
}

}  // namespace
}  // namespace kestrune
