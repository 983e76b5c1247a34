#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/batch.h"
#include "platform/platform.h"

namespace kestrune::test {

// Answers the file-selection request with `choice` (nothing: the user
// cancels), making the chosen folder current as the system's dialog does,
// and records every request and message box, answering each with `answer`.
struct FakeFrontEnd : BatchFrontEnd {
  explicit FakeFrontEnd(std::optional<FileChoice> choice = {}, bool answer = false)
      : choice(std::move(choice)), answer(answer) {}

  std::optional<FileChoice> choose_files(const FileRequest& request) override {
    requests.push_back(request);
    if (choice) platform::change_directory(choice->names.empty() ? folder_of(choice->first)
                                                                 : choice->first);
    return choice;
  }
  bool show_message(const Message& message) override {
    messages.push_back(message);
    return answer;
  }

  std::optional<FileChoice> choice;
  bool answer;
  std::vector<FileRequest> requests;
  std::vector<Message> messages;
};

// The failure box's text for `entries`, as the batch shows it.
inline std::string failure_box_text(const std::vector<std::string>& entries) {
  std::string text = "The following files couldn't be renamed:\n\n";
  for (const std::string& entry : entries) text += entry + "\n";
  return text + "\nSave list to file? (Error.log)";
}

}  // namespace kestrune::test
