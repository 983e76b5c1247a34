#include "app/batch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/fake_front_end.h"
#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::failure_box_text;
using test::read_bytes;

std::string titled(std::string_view title) {
  return test::id3v2_tag({test::frame("TIT2", test::latin1_body(title))}) + "audio";
}

class RunBatch : public ::testing::Test {
 protected:
  RunBatch() { fs::create_directory(music_); }
  void put(const std::string& name, std::string_view bytes) { test::write_bytes(music_ / name, bytes); }
  // Runs the batch with the user picking `choice` and answering each box with `yes`.
  void run(std::int32_t method, std::optional<FileChoice> choice, bool yes = false) {
    front_end_.choice = std::move(choice);
    front_end_.answer = yes;
    run_batch(Settings{method, "%title%"}, front_end_);
  }
  void expect_success_box() {
    ASSERT_EQ(front_end_.messages.size(), 1u);
    const Message& box = front_end_.messages[0];
    EXPECT_EQ(box.text, "Successfuly renamed all selected files!");
    EXPECT_EQ(box.caption, "Success");
    EXPECT_EQ(box.buttons, MessageButtons::kOk);
    EXPECT_EQ(box.icon, MessageIcon::kInformation);
  }

  test::TempFolder temp_;
  fs::path music_ = temp_.path() / "music";
  test::FakeFrontEnd front_end_;
};

TEST_F(RunBatch, SingleSelectedFailureIsListedByFullPathAndSavedOnYes) {
  put("a.mp3", titled("Same"));
  put("Same.mp3", "taken");
  const std::string full_path = (music_ / "a.mp3").string();
  run(0, FileChoice{full_path, {}}, true);

  ASSERT_EQ(front_end_.requests.size(), 1u);
  const FileRequest& request = front_end_.requests[0];
  EXPECT_EQ(request.title, "Rename MP3 Files...");
  const std::vector<std::pair<std::string, std::string>> filters = {
      {"MP3 Files (*.mp3)", "*.mp3"}, {"All Files (*.*)", "*.*"}};
  EXPECT_EQ(request.filters, filters);
  EXPECT_TRUE(request.allow_multiple);
  EXPECT_TRUE(request.file_must_exist);

  ASSERT_EQ(front_end_.messages.size(), 1u);
  const Message& box = front_end_.messages[0];
  EXPECT_EQ(box.text, "The following files couldn't be renamed:\n\n" + full_path +
                          "\n\nSave list to file? (Error.log)");
  EXPECT_EQ(box.caption, "Error");
  EXPECT_EQ(box.buttons, MessageButtons::kYesNo);
  EXPECT_EQ(box.icon, MessageIcon::kWarning);
  EXPECT_EQ(read_bytes(music_ / "Error.log"),
            "The following files couldn't be renamed:\r\n\r\n" + full_path);
  EXPECT_EQ(read_bytes(music_ / "a.mp3"), titled("Same"));
}

TEST_F(RunBatch, SeveralSelectedFailuresAreListedByBareNameAndNoSavesNothing) {
  put("a.mp3", titled("One"));
  put("b.mp3", titled("Same"));
  put("d.mp3", titled("Same"));
  put("untagged.mp3", "no tags");
  put("Same.mp3", "taken");
  put("Error.log", "earlier log");
  const FileChoice choice{music_.string(), {"d.mp3", "a.mp3", "b.mp3", "untagged.mp3"}};
  run(0, choice);

  ASSERT_EQ(front_end_.messages.size(), 1u);
  EXPECT_EQ(front_end_.messages[0].text, failure_box_text({"d.mp3", "b.mp3"}));
  EXPECT_EQ(read_bytes(music_ / "One.mp3"), titled("One"));
  EXPECT_EQ(read_bytes(music_ / "untagged.mp3"), "no tags");
  EXPECT_EQ(read_bytes(music_ / "Error.log"), "earlier log");

  // Without an earlier log, No creates none.
  fs::remove(music_ / "Error.log");
  run(0, choice);
  EXPECT_EQ(front_end_.messages.size(), 2u);
  EXPECT_FALSE(fs::exists(music_ / "Error.log"));
}

TEST_F(RunBatch, AllFilesRenamesEveryMp3OfTheFolderOfATypedName) {
  put("x.mp3", titled("X"));
  put("Y.MP3", titled("Y"));
  put("notes.txt", titled("Notes"));
  put("untagged.mp3", "no tags");
  fs::create_directory(music_ / "d.mp3");
  run(1, FileChoice{(music_ / "typed name.mp3").string(), {}});

  ASSERT_EQ(front_end_.requests.size(), 1u);
  EXPECT_FALSE(front_end_.requests[0].allow_multiple);
  EXPECT_FALSE(front_end_.requests[0].file_must_exist);
  expect_success_box();
  EXPECT_EQ(read_bytes(music_ / "X.mp3"), titled("X"));
  EXPECT_EQ(read_bytes(music_ / "Y.mp3"), titled("Y"));
  EXPECT_EQ(read_bytes(music_ / "notes.txt"), titled("Notes"));
  EXPECT_TRUE(fs::is_directory(music_ / "d.mp3"));
}

TEST_F(RunBatch, TwoRunsShareNoEntries) {
  put("b.mp3", titled("Same"));
  put("a.mp3", titled("Same"));
  put("Same.mp3", "taken");
  run(1, FileChoice{(music_ / "a.mp3").string(), {}});
  fs::rename(music_ / "Same.mp3", temp_.path() / "taken.bin");
  run(1, FileChoice{(music_ / "a.mp3").string(), {}});

  ASSERT_EQ(front_end_.messages.size(), 2u);
  // The listing is in name order; the second run starts with an empty list.
  EXPECT_EQ(front_end_.messages[0].text, failure_box_text({"a.mp3", "b.mp3"}));
  EXPECT_EQ(front_end_.messages[1].text, failure_box_text({"b.mp3"}));
}

TEST_F(RunBatch, CancelledSelectionShowsNothingAndNothingToRenameIsASuccess) {
  run(0, std::nullopt);
  EXPECT_EQ(front_end_.requests.size(), 1u);
  EXPECT_TRUE(front_end_.messages.empty());

  // A folder without MP3 files, then only untagged files.
  run(1, FileChoice{(music_ / "any.mp3").string(), {}});
  expect_success_box();

  put("a.mp3", "no tags");
  put("b.mp3", std::string(200, 'x'));
  front_end_.messages.clear();
  run(0, FileChoice{music_.string(), {"a.mp3", "b.mp3"}});
  expect_success_box();
  EXPECT_TRUE(fs::exists(music_ / "a.mp3"));
}

}  // namespace
}  // namespace kestrune
