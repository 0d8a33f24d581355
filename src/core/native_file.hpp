// One file opened, read and closed with the system calls that the built-in
// open(..., "rb") and the read of its whole content make, and with the
// audit event, interruptions and errors that those raise.
#pragma once

#include "core/standard_paths.hpp"

namespace tools {

class ReadFile {
 public:
  // As open(target, "rb"): the "open" audit event, the open retried while
  // a signal interrupts it (its handlers run and may raise), a folder
  // refused with IsADirectoryError; errors name the target's text.
  explicit ReadFile(const OpenTarget& target);
  // Closed, with any error dropped, unless close() ran.
  ~ReadFile();
  ReadFile(const ReadFile&) = delete;
  ReadFile& operator=(const ReadFile&) = delete;

  // The whole rest of the file, read until the end of file.
  Ref read_all();
  // Raises what close(2) reports.
  void close();

 private:
  int fd_ = -1;
};

// As os.rename(source, target) with both given by text: the "os.rename"
// audit event, then rename(2); an error names both texts.
void rename_file(const OpenTarget& source, const OpenTarget& target);

}  // namespace tools
