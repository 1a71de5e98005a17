// platform/outbox.hpp - the outbox: reports for an error tracker wait there, one envelope a
// file, until the library's sender (a program of its own, never the host's thread) has them
// out. A report so outlives a crash, an offline day or a sender killed in the middle of a
// request.
//
// Two ports:
//  - Outbox, what the library and the crash helper use: put an envelope, ask whether one is
//    due, start the sender when one is. common::FolderOutbox keeps its rules on any system
//    (names, bounds, rate limits, the dropped count; platform/common/outbox.hpp).
//  - OutboxFolder, what a backend gives: the folder's files written whole or not at all,
//    listed, read, removed and locked, and the sender started detached.
//
// Thread-safety: any threads of any number of processes may use one outbox at once: a file
// appears whole by a rename, and what processes count together changes under a lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace cobaltmoth::platform {

class Outbox {
 public:
  virtual ~Outbox() = default;
  // Queues one envelope (its first line is its JSON header). False when it is not queued:
  // there is no outbox (no writable home; the reason is said once on standard error when that
  // is a terminal), the disk is full, or the tracker has limited every item's category for
  // now. Waits for no network and no other process, but for one that updates the dropped
  // count.
  virtual bool Put(std::string_view envelope) = 0;
  // Whether an envelope waits that may be sent now (not one the tracker has put off).
  virtual bool NotEmpty() = 0;
  // Starts the sender, detached, when an envelope may be sent now and no sender runs.
  virtual void StartSenderWhenNotEmpty() = 0;
  // Starts the sender, detached, unless one runs: for a caller whose Put has just queued an
  // envelope, which may be sent now.
  virtual void StartSender() = 0;
};

// The outbox's folder, one per user, its path read from the environment at each call. Names
// are plain file names (ASCII, no separator).
class OutboxFolder {
 public:
  struct File {
    std::string name;
    std::uint64_t size = 0;
    std::int64_t modified_ms = 0;  // milliseconds since 1970 (UTC)
  };
  // A lock, held while the object lives (and let go when the process ends, however it ends).
  class Lock {
   public:
    virtual ~Lock() = default;
  };

  virtual ~OutboxFolder() = default;
  // The folder's path; empty when the user has none (no home folder, as for some services).
  virtual std::string Path() = 0;
  // Writes `bytes` as the file `name`, whole or not at all, readable and writable by the user
  // alone: under a temporary name (ending ".tmp") first, then renamed over any file of that
  // name. The folder, the user's alone, is made when missing. "" when written, else what went
  // wrong, in words ("No space left on device").
  virtual std::string Write(std::string_view name, std::string_view bytes) = 0;
  // The regular files of the folder, in no order; none when there is no folder.
  virtual std::vector<File> List() = 0;
  virtual bool Read(std::string_view name, std::string* bytes) = 0;
  // True when this call removed the file.
  virtual bool Remove(std::string_view name) = 0;
  // Locks the file `name` (made, the user's alone, when missing): null when the folder is
  // missing, or another process holds the lock and `wait` is false.
  virtual std::unique_ptr<Lock> TakeLock(std::string_view name, bool wait) = 0;
  // Says one line on standard error, when that is a terminal.
  virtual void Tell(std::string_view line) = 0;
  // Starts the library's sender (cobaltmoth-send) detached: the caller never waits for it.
  virtual void StartSender() = 0;
};

}  // namespace cobaltmoth::platform
