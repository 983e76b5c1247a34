#include "rename/rename.h"

#include <gtest/gtest.h>

#include "support/tag_builder.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

using test::TempFolder;

TEST(RenameByTags, MovesATaggedFileIntoTemplateFolders) {
  TempFolder folder;
  const std::string image =
      test::id3v2_tag({test::frame("TPE1", test::latin1_body("Artist")),
                       test::frame("TIT2", test::latin1_body("Title"))});
  test::write_bytes("a.mp3", image);
  EXPECT_EQ(rename_by_tags("a.mp3", "%artist%\\%title%"), 0);
  EXPECT_EQ(test::read_bytes("Artist/Title.mp3"), image);
}

}  // namespace
}  // namespace kestrune
