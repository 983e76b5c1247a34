#pragma once

// Helpers for provoking faults for real: a child process without root's
// privileges, and a file for it to meet.

#include <filesystem>
#include <functional>
#include <string>

namespace kestrune::test {

// Runs `body` in a child process and answers its result, or -1 when the child
// did not end normally. As root the child first becomes the unprivileged
// user 65534, so that file and folder permissions bind it; what it touches
// must then belong to that user (see `hand_to_unprivileged`).
int run_unprivileged(const std::function<int()>& body);

// Makes `root` and everything below it belong to the user the child of
// `run_unprivileged` runs as. Does nothing when not running as root.
void hand_to_unprivileged(const std::filesystem::path& root);

}  // namespace kestrune::test
