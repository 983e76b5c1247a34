// Names that are not UTF-8 and a folder of 100,000 entries through the All
// Files walk of the batch, and names that must never reach the file system.

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "app/batch.h"
#include "cli/cli_capture.h"
#include "fault/fault_support.h"
#include "rename/rename.h"
#include "support/fake_front_end.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::describe_tree;
using test::tagged_image;
using test::TempFolder;

std::vector<Message> run_all_files(const fs::path& folder) {
  test::FakeFrontEnd front_end(FileChoice{(folder / "any.mp3").string(), {}}, true);
  run_batch(Settings{1, "%artist% - %title%"}, front_end);
  return front_end.messages;
}

TEST(InvalidUtf8, NamesAreRenamedListedAndLoggedByteForByte) {
  TempFolder folder;
  // Both files carry the Latin-1 title "Café" and so want the same name.
  test::write_bytes("\x80.mp3", tagged_image("A", "Caf\xE9"));
  test::write_bytes("\xFF\xFE.mp3", tagged_image("A", "Caf\xE9"));
  const std::vector<Message> messages = run_all_files(folder.path());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, test::failure_box_text({"\xFF\xFE.mp3"}));
  EXPECT_EQ(describe_tree("."), "A - Caf\xC3\xA9.mp3 470\nError.log 50\n\xFF\xFE.mp3 470\n");
  EXPECT_EQ(test::read_bytes("Error.log"),
            "The following files couldn't be renamed:\r\n\r\n\xFF\xFE.mp3");
}

// Names that tag text, or empty fields, would turn against the folder or the
// file system: the core and the command line refuse each before anything is
// made, and the dry run says so as the real run does.
TEST(HostileNames, AreRefusedBeforeAnythingIsMadeAndTheDryRunSaysSo) {
  TempFolder folder;
  // Empty fields before the template's backslashes would root the name; this
  // title would then lead back into this folder.
  std::string rooted = folder.path().relative_path().string() + "/escaped";
  std::replace(rooted.begin(), rooted.end(), '/', '\\');
  const struct {
    const char* pattern;
    std::string artist, title;
    const char* reason;
  } cases[] = {
      {"%artist%\\%album%\\%title%", "", rooted, "tag text would leave the folder"},
      {"%title%", "", "made\\..\\..\\escaped", "tag text would leave the folder"},
      {"%title%.\\x", "", "made\\.", "tag text would leave the folder"},  // half a ".."
      {"%artist%%title%", "\\made", "rooted", "tag text would leave the folder"},
      {"%artist% - %title%", "AC/DC", "T", "the name holds a '/'"},
      {"%title%", "", "del\x7F", "the new name would hold a control character"},
      {"%title%", "", "csi\xC2\x9B", "the new name would hold a control character"},
      {"made\\%title%\t", "", "tab", "the new name would hold a control character"},
      {"%title%", "", std::string(252, 'f'), "a name part is longer than 255 bytes"},
      {"%title%\\x", "", std::string(256, 'd'), "a name part is longer than 255 bytes"},
  };
  fs::create_directory("AC");  // "AC/DC" must not move the file into it
  for (const auto& c : cases) {
    SCOPED_TRACE(c.artist + c.title);
    test::write_bytes("a.mp3", tagged_image(c.artist, c.title));
    const std::string before = describe_tree(".");
    EXPECT_EQ(rename_by_tags("a.mp3", c.pattern), -1);
    const std::string line = "refused: a.mp3: " + std::string(c.reason) + "\n";
    for (const char* dry_run : {"-n", "-q"}) {
      const test::CliResult r = test::run_cli({dry_run, "--format", c.pattern, "a.mp3"});
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err.substr(0, line.size()), line);
    }
    EXPECT_EQ(describe_tree("."), before);
  }
}

TEST(LargeFolder, AllFilesWalksAHundredThousandEntriesAndLosesNone) {
  TempFolder folder;
  // On a tmpfs where the machine allows one: a disk file system takes far
  // longer to create the files than the walk takes to rename them.
  fs::create_directory("big");
  const test::PrivateTmpfs memory(folder.path() / "big", 256 * 1024 * 1024);
  fs::current_path("big");
  // Mostly untagged files, which are skipped; every 250th is tagged; a few
  // entries are no MP3 at all.
  constexpr int kEntries = 100000;
  auto name = [](int i) { return std::to_string(1000000 + i) + (i % 1000 == 1 ? ".txt" : ".mp3"); };
  for (int i = 0; i < kEntries; ++i) {
    test::write_bytes(name(i), i % 250 == 0 ? tagged_image("Artist", std::to_string(i)) : "");
  }
  const std::vector<Message> messages = run_all_files(folder.path() / "big");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].caption, "Success");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), kEntries);
  for (int i = 0; i < kEntries; ++i) {
    EXPECT_TRUE(fs::exists(i % 250 == 0 ? "Artist - " + std::to_string(i) + ".mp3" : name(i))) << i;
  }
}

}  // namespace
}  // namespace kestrune
