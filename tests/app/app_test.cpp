// The dialog's core: the settings file and one batch of renames.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/batch.h"
#include "app/settings.h"
#include "support/fake_front_end.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::describe_tree;
using test::failure_box_text;
using test::read_bytes;
using test::TempFolder;
using test::titled;
using test::write_bytes;

TEST(Settings, WritesThreeCrLfLinesThatReadBackExactly) {
  TempFolder folder;
  const std::string path = settings_path(folder.path().string());
  Settings settings;
  read_settings(settings, path);  // no file: the defaults stay
  write_settings(settings, path);
  EXPECT_EQ(read_bytes(path), "[Core]\r\nMethod = 0\r\nFormat = %artist% - %title%");
  // Blanks at both ends, an "=", a lone CR: all survive, and the old file is replaced.
  const Settings odd{-7, "  =odd\r %title%  "};
  write_settings(odd, path);
  EXPECT_EQ(read_bytes(path), "[Core]\r\nMethod = -7\r\nFormat =   =odd\r %title%  ");
  Settings back;
  read_settings(back, path);
  EXPECT_EQ(back.method, -7);
  EXPECT_EQ(back.format, odd.format);
  EXPECT_EQ(describe_tree("."), "Kestrune.ini " + std::to_string(read_bytes(path).size()) + "\n");
  // A line break typed into the template is written as any other: CR LF.
  write_settings(Settings{1, "a\nb"}, path);
  EXPECT_EQ(read_bytes(path), "[Core]\r\nMethod = 1\r\nFormat = a\r\nb");
  // Only the first MiB of a huge file is read.
  write_bytes(path, "Format = early\r\n" + std::string(1 << 20, 'x') + "\r\nFormat = late");
  read_settings(back, path);
  EXPECT_EQ(back.format, "early");
}

TEST(Settings, ParsesKeysAsLineInputAndFormattedInputWould) {
  const std::string piece_of_a(502, 'a');  // "Format = " and these fill 511
  const struct { std::string text; std::int32_t method; std::string format; } cases[] = {
      {"method = 1", 9, "keep"}, {"FORMAT = x", 9, "x"},  // only "Format" ignores case
      {"Format=%artist%", 9, "artist%"}, {"Method=7\r\n", 7, "keep"},
      {"Method \t=\t -3 and more", -3, "keep"}, {"Method = + 4", 9, "keep"},
      {"Method = abc", 9, "keep"}, {"Format", 9, "keep"}, {"Format =", 9, ""}, {"Format =x", 9, ""},
      {"[Core]\r\nFormat = a\r\nMethod = 1\r\nFormat = b\r\nMethod = 2", 2, "b"},
      {"Format = x\r\nMethod = 1", 1, "x"},  // the line break is not part of the value
      {"Format = x\r\r\n", 9, "x\r"},  // only the line break goes, not the CR before it
      {"Format = a\rb", 9, "a\rb"},  // a lone CR stays
      {std::string("Format = ab\0cd", 14), 9, "ab"},
      {"Method = 2147483648", 9, "keep"}, {"Method = -2147483648", INT32_MIN, "keep"},
      // A long line arrives in pieces of 511 characters, each a line of its own.
      {"Format = " + piece_of_a + "Method = 3\r\n", 3, piece_of_a},
      {"Format = " + piece_of_a + "tail", 9, piece_of_a},
  };
  for (const auto& c : cases) {
    Settings settings{9, "keep"};
    parse_settings(settings, c.text);
    EXPECT_EQ(settings.method, c.method) << c.text;
    EXPECT_EQ(settings.format, c.format) << c.text;
  }
}

class RunBatch : public ::testing::Test {
 protected:
  RunBatch() { fs::create_directory(music_); }
  void put(const std::string& name, std::string_view bytes) { write_bytes(music_ / name, bytes); }
  // Runs the batch with the user picking `choice` and answering each box with `yes`.
  void run(std::int32_t method, std::optional<FileChoice> choice, bool yes = false) {
    front_end_.choice = std::move(choice);
    front_end_.answer = yes;
    run_batch(Settings{method, "%title%"}, front_end_);
  }
  // The request of `method`, and the boxes shown so far have the texts `boxes`.
  void expect(std::int32_t method, const std::vector<std::string>& boxes) {
    ASSERT_FALSE(front_end_.requests.empty());
    const FileRequest& request = front_end_.requests.back();
    EXPECT_EQ(request.title, "Rename MP3 Files...");
    EXPECT_EQ(request.allow_multiple, method == 0);
    EXPECT_EQ(request.file_must_exist, method == 0);
    ASSERT_EQ(front_end_.messages.size(), boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
      const Message& box = front_end_.messages[i];
      const bool success = box.text == kSuccess;
      EXPECT_EQ(box.text, boxes[i]);
      EXPECT_EQ(box.caption, success ? "Success" : "Error");
      EXPECT_EQ(box.buttons, success ? MessageButtons::kOk : MessageButtons::kYesNo);
      EXPECT_EQ(box.icon, success ? MessageIcon::kInformation : MessageIcon::kWarning);
    }
  }

  static constexpr char kSuccess[] = "Successfuly renamed all selected files!";
  TempFolder temp_;
  fs::path music_ = temp_.path() / "music";
  test::FakeFrontEnd front_end_;
};

// One file failing is listed by its full path and the list saved on Yes;
// several by their bare names, and No saves nothing. An empty name ends
// the selection.
TEST_F(RunBatch, SelectedFailuresAreListedAndSavedOnlyOnYes) {
  put("a.mp3", titled("One"));
  put("b.mp3", titled("Same"));
  put("d.mp3", titled("Same"));
  put("untagged.mp3", "no tags");
  put("Same.mp3", "taken");
  put("Error.log", "earlier log");
  run(0, FileChoice{music_.string(), {"d.mp3", "a.mp3", "b.mp3", "untagged.mp3", "", "d.mp3"}});
  EXPECT_EQ(read_bytes(music_ / "One.mp3"), titled("One"));
  EXPECT_EQ(read_bytes(music_ / "untagged.mp3"), "no tags");
  EXPECT_EQ(read_bytes(music_ / "Error.log"), "earlier log");
  const std::string full_path = (music_ / "b.mp3").string();
  run(0, FileChoice{full_path, {}}, true);
  expect(0, {failure_box_text({"d.mp3", "b.mp3"}), failure_box_text({full_path})});
  EXPECT_EQ(read_bytes(music_ / "Error.log"),
            "The following files couldn't be renamed:\r\n\r\n" + full_path);
  EXPECT_EQ(read_bytes(music_ / "b.mp3"), titled("Same"));
}

// A cancelled selection shows nothing; a folder with nothing to rename is a success.
TEST_F(RunBatch, AllFilesRenamesEveryMp3OfTheFolderOfATypedNameWithFreshListsEachRun) {
  run(0, std::nullopt);
  expect(0, {});
  run(1, FileChoice{(music_ / "any.mp3").string(), {}});
  put("x.mp3", titled("X"));
  put("Y.MP3", titled("Y"));
  for (const char* name : {"notes.txt", "x.mp3.bak", "mp3"}) put(name, titled(name));
  put("untagged.mp3", "no tags");
  fs::create_directory(music_ / "d.mp3");
  run(1, FileChoice{(music_ / "typed name.mp3").string(), {}});
  expect(1, {kSuccess, kSuccess});
  EXPECT_EQ(read_bytes(music_ / "X.mp3"), titled("X"));
  EXPECT_EQ(read_bytes(music_ / "Y.mp3"), titled("Y"));
  for (const char* name : {"notes.txt", "x.mp3.bak", "mp3"}) {
    EXPECT_EQ(read_bytes(music_ / name), titled(name));
  }
  // Failures in name order; the next run starts with an empty list.
  put("b.mp3", titled("X"));
  put("a.mp3", titled("X"));
  run(1, FileChoice{(music_ / "a.mp3").string(), {}});
  fs::rename(music_ / "X.mp3", temp_.path() / "X.mp3");
  fs::rename(music_ / "a.mp3", temp_.path() / "a.mp3");
  run(1, FileChoice{(music_ / "a.mp3").string(), {}});
  expect(1, {kSuccess, kSuccess, failure_box_text({"a.mp3", "b.mp3"}), kSuccess});
}

}  // namespace
}  // namespace kestrune
