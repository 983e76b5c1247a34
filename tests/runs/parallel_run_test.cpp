// Reading the tags on several threads changes nothing a run prints, journals
// or renames: the renames stay on one thread, in the order of the files.

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "cli/cli_capture.h"
#include "corpus/corpus.h"
#include "support/temp_folder.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;

struct RunResult { int status = -1; std::string out, err, journal, files; };

// Runs `jobs` readers over a fresh corpus in "run" below the current folder.
RunResult run_corpus(std::size_t jobs, bool journal, const std::vector<std::string>& vanishing) {
  fs::remove_all("run");
  fs::create_directories("run/m");
  const fs::path here = fs::current_path();
  fs::current_path("run");
  EXPECT_TRUE(corpus::write_corpus("m", 600));
  // Contested names: the first copy in the order of the files keeps the
  // name, the others and the original fail on it.
  fs::copy_file("m/track_000003.mp3", "m/copy_a.mp3");
  fs::copy_file("m/track_000003.mp3", "m/zz_copy.mp3");
  // No regular files: known from the listing, or looked at through a link.
  ::mkfifo("m/fifo.mp3", 0600);
  fs::create_symlink("/dev/null", "m/device.mp3");
  fs::create_directory("m/folder.mp3");
  test::write_bytes("m/untagged.mp3", "no tag");
  cli::Options options;
  options.all_folder = "m";
  options.jobs = jobs;
  test::Captured captured;
  std::optional<runs::JournalWriter> writer;
  const std::string cwd = fs::current_path().string();
  if (journal) writer.emplace(runs::JournalWriter::at_path(cwd + "/run.journal", 0, cwd));
  // Files vanish while the run goes on, removed when an earlier one moves.
  const auto remove = [&](const runs::PlannedFile& file) {
    if (file.source != "m/track_000010.mp3") return;
    for (const std::string& name : vanishing) fs::remove(name);
  };
  RunResult result;
  result.status = cli::run_renames(options, "%artist% - %title%", captured.console,
                                   writer ? &*writer : nullptr, remove);
  if (writer) writer->close();
  std::tie(result.out, result.err) = std::pair(captured.out(), captured.err());
  // The journal but for its closing time, the one line that tells runs apart.
  if (journal) result.journal = test::read_bytes("run.journal");
  result.journal.resize(std::min(result.journal.size(), result.journal.rfind("end ")));
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator("m")) names.insert(entry.path().string());
  for (const std::string& name : names) result.files += name + "\n";
  fs::current_path(here);
  return result;
}

// Busy threads beside the runs, as on a loaded machine, until destroyed.
class CpuHog {
 public:
  CpuHog() {
    for (auto& thread : threads_) {
      thread = std::thread([this] {
        for (volatile unsigned spin = 0; !stop_.load(std::memory_order_relaxed);) spin = spin + 1;
      });
    }
  }
  ~CpuHog() {
    stop_ = true;
    for (auto& thread : threads_) thread.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread threads_[2];
};

// The journal's groups are a function of the files alone, not of the time
// their reads took: the same on an idle machine and on a busy one.
TEST(ParallelRun, PrintsJournalsAndRenamesAsTheSequentialRunDoes) {
  test::TempFolder folder;
  for (const bool journal : {true, false}) {
    SCOPED_TRACE(journal ? "with a journal" : "without a journal");
    // Without a journal each file moves right after its plan, so files planned
    // ahead and gone at their rename are planned again. (With a journal the
    // whole corpus is one group, planned before anything moves: files vanish
    // only without one.)
    std::vector<std::string> vanishing;
    if (!journal) vanishing = {"m/track_000011.mp3", "m/track_000500.mp3"};
    const RunResult one = run_corpus(1, journal, vanishing);
    EXPECT_TRUE(test::contains(one.out, "m/copy_a.mp3 -> m/Artist 3 - Title 3.mp3\n"));
    EXPECT_EQ(one.err.substr(one.err.rfind("renamed") - 4),
              journal ? "600 renamed, 4 skipped, 2 failed\n"
                      : "598 renamed, 4 skipped, 4 failed\n");
    EXPECT_EQ(journal, test::contains(one.journal, "rename 600 "));
    // A failed rename is marked with its error (EEXIST).
    EXPECT_EQ(journal, std::regex_search(one.journal, std::regex("\nfailed [0-9]+ 17\n")));
    for (const std::size_t jobs : {2, 8}) {
      SCOPED_TRACE(jobs);
      CpuHog hog;
      const RunResult many = run_corpus(jobs, journal, vanishing);
      EXPECT_EQ(many.status, one.status);
      EXPECT_EQ(many.out, one.out);
      EXPECT_EQ(many.err, one.err);
      EXPECT_EQ(many.journal, one.journal);
      EXPECT_EQ(many.files, one.files);
    }
  }
}

}  // namespace
}  // namespace kestrune
