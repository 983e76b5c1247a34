// Names that are not UTF-8 and a folder of 100,000 entries through the All
// Files walk of the batch, and names that must never reach the file system.

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include <gtest/gtest.h>

#include "app/batch.h"
#ifdef KESTRUNE_TEST_CLI
#include "cli/cli_capture.h"
#endif
#include "fault/fault_support.h"
#include "support/fake_front_end.h"
#include "support/tag_builder.h"
#include "rename/rename.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::TempFolder;

constexpr char kTemplate[] = "%artist% - %title%";

std::vector<Message> run_all_files(const fs::path& folder) {
  test::FakeFrontEnd front_end(FileChoice{(folder / "any.mp3").string(), {}}, true);
  run_batch(Settings{1, kTemplate}, front_end);
  return front_end.messages;
}

TEST(InvalidUtf8, NamesAreRenamedListedAndLoggedByteForByte) {
  TempFolder folder;
  // Both files carry the Latin-1 title "Café" and so want the same name.
  const std::string image = test::tagged_image("A", "Caf\xE9");
  test::write_bytes("\x80.mp3", image);
  test::write_bytes("\xFF\xFE.mp3", image);

  const std::vector<Message> messages = run_all_files(folder.path());
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].text, test::failure_box_text({"\xFF\xFE.mp3"}));
  EXPECT_EQ(test::read_bytes("A - Caf\xC3\xA9.mp3"), image);
  EXPECT_EQ(test::read_bytes("\xFF\xFE.mp3"), image);
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
      {"%artist%%title%", "\\made", "rooted", "tag text would leave the folder"},
      {"%title%.\\x", "", "made\\.", "tag text would leave the folder"},  // half a ".."
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
    test::write_bytes("a.mp3", test::tagged_image(c.artist, c.title));
    const std::string before = test::describe_tree(".");
    EXPECT_EQ(rename_by_tags("a.mp3", c.pattern), -1);
#ifdef KESTRUNE_TEST_CLI
    const std::string line = "refused: a.mp3: " + std::string(c.reason) + "\n";
    for (const char* dry_run : {"-n", "-q"}) {
      const test::CliResult r = test::run_cli({dry_run, "--format", c.pattern, "a.mp3"});
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err.substr(0, line.size()), line);
    }
#endif
    EXPECT_EQ(test::describe_tree("."), before);
  }
}

TEST(LargeFolder, AllFilesWalksAHundredThousandEntriesAndLosesNone) {
  TempFolder folder;
  // On a tmpfs where the machine allows one: a disk file system takes far
  // longer to create the files than the walk takes to rename them.
  fs::create_directory("big");
  const test::PrivateTmpfs memory(folder.path() / "big", 256 * 1024 * 1024);
  fs::current_path("big");
  constexpr int kEntries = 100000;
  constexpr int kTaggedEvery = 250;
  // Mostly untagged files, which are skipped; every 250th is tagged; a few
  // entries are no MP3 at all.
  for (int i = 0; i < kEntries; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%06d.%s", i,
                  i % 1000 == 1 ? "txt" : (i % 1000 == 2 ? "MP3" : "mp3"));
    test::write_bytes(name, i % kTaggedEvery == 0 ? test::tagged_image("Artist", std::to_string(i))
                                                  : std::string());
  }

  const std::vector<Message> messages = run_all_files(folder.path() / "big");
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].caption, "Success");

  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), kEntries);
  for (int i = 0; i < kEntries; i += kTaggedEvery) {
    EXPECT_TRUE(fs::exists("Artist - " + std::to_string(i) + ".mp3")) << i;
  }
  EXPECT_TRUE(fs::exists("f000001.txt"));
  EXPECT_TRUE(fs::exists("f000003.mp3"));
}

}  // namespace
}  // namespace kestrune
