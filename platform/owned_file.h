#pragma once

// Files a long-running process owns and rewrites: an advisory lock that keeps a second process
// away, and a replacement that a crash, a full disk or a planted link never turns into half a
// file or a write somewhere else.

#include <memory>
#include <string>
#include <string_view>

#include "runtime/exception.h"

namespace kyt::platform {

// Another process holds the lock. OwnerPid() is 0 when it has not said who it is yet.
class EFileLocked : public Exception {
 public:
  EFileLocked(const std::string& path, long ownerPid);
  long OwnerPid() const { return ownerPid_; }

 private:
  long ownerPid_;
};

// An exclusive advisory lock on `path` (created 0600 when missing, never through a symbolic
// link), held for the object's lifetime, with this process's ID written into the file for the
// next one to name. Locks are per open file, so two holders in one process exclude each other
// too. Raises EFileLocked when it is held elsewhere, Exception for any other failure.
class TFileLock {
 public:
  explicit TFileLock(const std::string& path);
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The prefix of the temporary files ReplaceFileContent makes for `path`; whatever a killed
// process left with it can go once the file's lock is held.
std::string TemporaryPrefix(const std::string& path);

// Writes `content` to a new file of a unique name in the folder of `path` (created exclusively
// with mode 0600, so neither an existing file nor a link is followed), flushes it to the disk,
// renames it over `path` and flushes the folder. On failure the temporary file is removed and
// `path` is left as it was; raises Exception naming the file and the system's reason.
void ReplaceFileContent(const std::string& path, std::string_view content);

}  // namespace kyt::platform
