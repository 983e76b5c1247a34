#pragma once

// A deterministic corpus of small MP3 files for the tests, the fuzzers'
// seeds and the benchmark. File number `index` always has the same bytes.
//
// Each file holds an ID3v2.3 tag with the six text frames TIT2, TPE1, TALB,
// TYER, TRCK and COMM (COMM with an empty description), some of them in
// UTF-16 (encoding 1, byte-order mark FF FE), then zero padding; every fourth
// file (index % 4 == 3) also carries a 64 KiB APIC picture frame. Two
// MPEG-1 Layer III frames follow the tag, and every second file (odd index)
// ends in an ID3v1.1 trailer with the same title, artist, album, year and
// track.
//
// The texts: title "Title <index>", artist "Artist <index % 50>" (with an
// accented letter in the UTF-16 ones), album "Album <index / 12>", year
// 1970 + index % 50, track "<index % 12 + 1>/12", comment "Corpus file
// <index>". Titles are unique, so "%artist% - %title%" gives every file its
// own name.

#include <cstddef>
#include <string>

namespace kestrune::corpus {

// The text frames whose text is UTF-16 for file `index`: the title and the
// artist when index % 3 == 1, the comment when index % 3 == 2.
bool title_is_utf16(std::size_t index);

// The artist and title the file's ID3v2 tag names, as UTF-8.
std::string artist_of(std::size_t index);
std::string title_of(std::size_t index);

// The whole byte image of file number `index`.
std::string make_mp3(std::size_t index);

// The file's name: "track_" and the index with at least six digits, ".mp3".
std::string file_name(std::size_t index);

// Writes files 0 to count - 1 into `folder`, which must exist, each under
// its file_name(). Answers false when a file could not be written.
bool write_corpus(const std::string& folder, std::size_t count);

}  // namespace kestrune::corpus
