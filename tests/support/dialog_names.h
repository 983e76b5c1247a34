#pragma once

// The dialog's own renames: a file titled `title`, renamed with `pattern`,
// ends up at `expected` (a host path, below the current directory). The
// dialog's tests and the command line's --dialog-rules test both run them.

#include <algorithm>
#include <string>
#include <vector>

namespace kestrune::test {

struct DialogName {
  std::string pattern, title, expected;
};

// `folder` is the current directory, absolute: one case names it in full.
inline std::vector<DialogName> dialog_names(std::string folder) {
  // A leading backslash is the root folder; the template may name any place.
  std::string absolute = std::move(folder);
  std::replace(absolute.begin(), absolute.end(), '/', '\\');
  return {
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
}

}  // namespace kestrune::test
