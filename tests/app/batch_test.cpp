#include "app/batch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::read_bytes;
using test::TempFolder;
using test::write_bytes;

constexpr char kHeader[] = "The following files couldn't be renamed:\n\n";
constexpr char kQuestion[] = "\nSave list to file? (Error.log)";

// Answers the file-selection request with a scripted choice, making its
// folder current as a confirmed choice must, and records every message box.
class FakeFrontEnd : public BatchFrontEnd {
 public:
  std::optional<FileChoice> choice;  // nothing: the user cancels
  fs::path folder;
  bool answer_yes = false;
  std::vector<FileRequest> requests;
  std::vector<Message> messages;

  std::optional<FileChoice> choose_files(const FileRequest& request) override {
    requests.push_back(request);
    if (choice) fs::current_path(folder);
    return choice;
  }
  bool show_message(const Message& message) override {
    messages.push_back(message);
    return answer_yes;
  }
};

std::string titled(std::string_view title) {
  return test::id3v2_tag({test::frame("TIT2", test::latin1_body(title))}) + "audio";
}

class RunBatch : public ::testing::Test {
 protected:
  void SetUp() override {
    music_ = temp_.path() / "music";
    fs::create_directory(music_);
    front_end_.folder = music_;
  }
  void put(const std::string& name, std::string_view bytes) { write_bytes(music_ / name, bytes); }
  void expect_success_box() {
    ASSERT_EQ(front_end_.messages.size(), 1u);
    const Message& box = front_end_.messages[0];
    EXPECT_EQ(box.text, "Successfuly renamed all selected files!");
    EXPECT_EQ(box.caption, "Success");
    EXPECT_EQ(box.buttons, MessageButtons::kOk);
    EXPECT_EQ(box.icon, MessageIcon::kInformation);
  }

  TempFolder temp_;
  fs::path music_;
  FakeFrontEnd front_end_;
  Settings settings_{0, "%title%"};
};

TEST_F(RunBatch, SingleSelectedFailureIsListedByFullPathAndSavedOnYes) {
  put("a.mp3", titled("Same"));
  put("Same.mp3", "taken");
  const std::string full_path = (music_ / "a.mp3").string();
  front_end_.choice = FileChoice{full_path, {}};
  front_end_.answer_yes = true;
  run_batch(settings_, front_end_);

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
  EXPECT_EQ(box.text, kHeader + full_path + "\n" + kQuestion);
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
  front_end_.choice = FileChoice{music_.string(), {"d.mp3", "a.mp3", "b.mp3", "untagged.mp3"}};
  run_batch(settings_, front_end_);

  ASSERT_EQ(front_end_.messages.size(), 1u);
  EXPECT_EQ(front_end_.messages[0].text, std::string(kHeader) + "d.mp3\nb.mp3\n" + kQuestion);
  EXPECT_EQ(read_bytes(music_ / "One.mp3"), titled("One"));
  EXPECT_EQ(read_bytes(music_ / "untagged.mp3"), "no tags");
  EXPECT_EQ(read_bytes(music_ / "Error.log"), "earlier log");

  // Without an earlier log, No creates none.
  fs::remove(music_ / "Error.log");
  front_end_.messages.clear();
  run_batch(settings_, front_end_);
  EXPECT_EQ(front_end_.messages.size(), 1u);
  EXPECT_FALSE(fs::exists(music_ / "Error.log"));
}

TEST_F(RunBatch, AllFilesRenamesEveryMp3OfTheFolderOfATypedName) {
  put("x.mp3", titled("X"));
  put("Y.MP3", titled("Y"));
  put("notes.txt", titled("Notes"));
  put("untagged.mp3", "no tags");
  fs::create_directory(music_ / "d.mp3");
  front_end_.choice = FileChoice{(music_ / "typed name.mp3").string(), {}};
  settings_.method = 1;
  run_batch(settings_, front_end_);

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
  front_end_.choice = FileChoice{(music_ / "a.mp3").string(), {}};
  settings_.method = 1;
  run_batch(settings_, front_end_);
  fs::rename(music_ / "Same.mp3", temp_.path() / "taken.bin");
  run_batch(settings_, front_end_);

  ASSERT_EQ(front_end_.messages.size(), 2u);
  // The listing is in name order; the second run starts with an empty list.
  EXPECT_EQ(front_end_.messages[0].text, std::string(kHeader) + "a.mp3\nb.mp3\n" + kQuestion);
  EXPECT_EQ(front_end_.messages[1].text, std::string(kHeader) + "b.mp3\n" + kQuestion);
}

TEST_F(RunBatch, CancelledSelectionShowsNothingAndNothingToRenameIsASuccess) {
  run_batch(settings_, front_end_);
  EXPECT_EQ(front_end_.requests.size(), 1u);
  EXPECT_TRUE(front_end_.messages.empty());

  // A folder without MP3 files, then only untagged files.
  front_end_.choice = FileChoice{(music_ / "any.mp3").string(), {}};
  settings_.method = 1;
  run_batch(settings_, front_end_);
  expect_success_box();

  put("a.mp3", "no tags");
  put("b.mp3", std::string(200, 'x'));
  front_end_.choice = FileChoice{music_.string(), {"a.mp3", "b.mp3"}};
  front_end_.messages.clear();
  settings_.method = 0;
  run_batch(settings_, front_end_);
  expect_success_box();
  EXPECT_TRUE(fs::exists(music_ / "a.mp3"));
}

}  // namespace
}  // namespace kestrune
