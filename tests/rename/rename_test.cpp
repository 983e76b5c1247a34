#include "rename/rename.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <latch>
#include <thread>
#include <vector>

#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::describe_tree;
using test::read_bytes;
using test::TempFolder;
using test::write_bytes;

// An ID3v2.3 tag with the title frame, then some audio bytes.
std::string titled(std::string_view title, std::string_view audio = "audio") {
  return test::id3v2_tag({test::frame("TIT2", test::latin1_body(title))}) + std::string(audio);
}

TEST(RenameByTags, SkipsAndFilesAlreadyNamedSoAnswerZeroAndChangeNothing) {
  TempFolder folder;
  write_bytes("T.mp3", titled("T"));
  write_bytes("plain.mp3", std::string(300, 'x'));
  // An ID3v2.4 header and no trailer: neither tag is usable.
  write_bytes("v24.mp3", test::id3v2_header(20, 4) + std::string(40, 'x'));
  const std::string before = describe_tree(".");
  EXPECT_EQ(rename_by_tags(nullptr, "%title%"), 0);
  EXPECT_EQ(rename_by_tags("T.mp3", nullptr), 0);
  EXPECT_EQ(rename_by_tags("T.mp3", ""), 0);
  for (const char* path : {"", "plain.mp3", "v24.mp3", "T.mp3", "./T.mp3"}) {
    EXPECT_EQ(rename_by_tags(path, "%title%"), 0) << path;
  }
  EXPECT_EQ(describe_tree("."), before);
}

TEST(RenameByTags, BackslashesMakeFoldersWhereverTheyComeFromAndMp3IsAppendedUnlessThere) {
  TempFolder folder;
  // A leading backslash is the root folder; the template may name any place.
  std::string absolute = folder.path().string();
  std::replace(absolute.begin(), absolute.end(), '/', '\\');
  const struct {
    std::string pattern;
    const char* title;
    const char* expected;
  } cases[] = {
      {"%title%", "Song.mp3", "Song.mp3"},
      {"%title%", "Song.MP3", "Song.MP3.mp3"},
      {"%title%", "Best.mp3 Blogs", "Best.mp3 Blogs.mp3"},
      {"x.mp3\\%title%", "Song", "x.mp3/Song.mp3"},
      {"%album%", "Song", ".mp3"},  // nothing expands: the name is the extension
      {"%title%", "..", "...mp3"},  // the file's name is "...mp3", not ".."
      {"Artist\\%title%", "Album\\Title", "Artist/Album/Title.mp3"},
      {"A\\%album%\\%title%", "T", "A/T.mp3"},  // an empty part climbs nowhere
      {"sub\\..\\Up\\%title%", "E", "Up/E.mp3"},  // ".." of the template's own
      {absolute + "\\%album%\\Abs\\%title%", "D", "Abs/D.mp3"},
#ifndef _WIN32
      {"D:\\%title%", "C", "D:/C.mp3"},  // a drive prefix is an ordinary folder name here
#endif
  };
  for (const auto& c : cases) {
    write_bytes("source", titled(c.title));
    EXPECT_EQ(rename_by_tags("source", c.pattern.c_str()), 0) << c.title;
    EXPECT_EQ(read_bytes(c.expected), titled(c.title)) << c.title;
    EXPECT_FALSE(fs::exists("source")) << c.title;
  }
}

TEST(PlanRename, AllowsExactly1023CharactersAndParts255LongAndTouchesNothing) {
  TempFolder folder;
  const std::string part(255, 'p');
  const std::string folders = part + "\\" + part + "\\" + part + "\\" + std::string(251, 'a');
  write_bytes("a.mp3", titled(folders + ".mp3"));
  write_bytes("b.mp3", titled(folders));
  write_bytes("c.mp3", titled(folders + "a.mp3"));
  const std::string before = describe_tree(".");
  for (const char* path : {"a.mp3", "b.mp3"}) {
    const RenamePlan plan = plan_rename(std::string(path), "%title%");
    EXPECT_EQ(plan.outcome, PlanOutcome::kRename);
    EXPECT_EQ(plan.new_name, folders + ".mp3");
  }
  EXPECT_EQ(plan_rename(std::string("c.mp3"), "%title%").outcome, PlanOutcome::kRefuseTooLong);
  EXPECT_EQ(describe_tree("."), before);
}

TEST(RenameByTags, ConcurrentRenamesOntoOneNameLetExactlyOneWin) {
  TempFolder folder;
  constexpr int kFiles = 8;
  auto name = [](int i) { return "f" + std::to_string(i) + ".mp3"; };
  for (int i = 0; i < kFiles; ++i) write_bytes(name(i), titled("Same", name(i)));
  std::latch start(kFiles);
  std::vector<int> results(kFiles);
  std::vector<std::thread> threads;
  for (int i = 0; i < kFiles; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      results[i] = rename_by_tags(name(i).c_str(), "%title%");
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(std::count(results.begin(), results.end(), 0), 1);
  EXPECT_EQ(std::count(results.begin(), results.end(), -1), kFiles - 1);
  for (int i = 0; i < kFiles; ++i) {
    EXPECT_EQ(read_bytes(results[i] == 0 ? "Same.mp3" : name(i)), titled("Same", name(i)));
  }
}

}  // namespace
}  // namespace kestrune
