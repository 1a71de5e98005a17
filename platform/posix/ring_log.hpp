// platform/posix/ring_log.hpp - the mapped stack log of the POSIX backend: lines copied into a
// ring of pages that is a file of its own, moved into the log by a thread of the library.
//
// Beside the log `<log>` lies, while its writer has it open, `<log>.ring`: a page of positions
// and kRingBytes of lines, created 0600, held with an exclusive lock (flock(2)), reserved on
// the disk and mapped shared once at the open, then reused round and round. A line is copied
// to the ring's end and published by one store of the new end: no system call and no new page.
// Byte p of the ring goes to byte `base + p` of the log; the drain, a thread of each open ring,
// writes what lies between the drained position and the end with pwrite at that offset, then
// stores the new drained position. Since every byte has its one place in the log, a drain that
// a kill stopped half-way is done again with the same bytes at the same places, and each line
// reaches the log exactly once.
//
// The drain wakes when a quarter of the ring waits for it, or after 100 ms while lines come
// (up to a second once they stop), and writes up to half the ring at a time; a writer that
// finds the ring full waits for the drain (until it has written a part), never overwriting an
// undrained line. A log that is shorter than what was drained (cut by
// another program), longer than the ring's end (written by another program), or another file
// than the one the ring was made for (renamed away) takes what the ring holds at its end.
//
// After a kill, the next open of the log (by any process, in either mode) empties the ring
// into the log before anything else, then removes it; so does a clean Close. A crash's handler
// empties every live ring with system calls only (DrainRingsNow). A forked child's copy of the
// stream has no ring mapped (MADV_DONTFORK) and is refused with 70.
//
// Thread-safety: a stream is written by one thread at a time; its drain thread and a crash's
// handler only read what the writer has published.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/platform.hpp"
#include "platform/posix/fd.hpp"

namespace cobaltmoth::platform::posix {

// The bytes of lines a ring holds.
inline constexpr std::size_t kRingBytes = std::size_t{1} << 20;

// Makes the ring of the log `name` behind `log` (whose exclusive lock is held), whose lines go
// after the log's first `end` bytes; `cut`: the log ends inside a line, which is ended before
// the first line. On success the stream owns the log's descriptor. None when no ring can be
// had here (a ring that could not be emptied is still there, the folder cannot be written, no
// shared mappings): `log` stays the caller's, to be written through. Raises 61 "Disk full"
// when the disk has no room for the ring.
std::unique_ptr<TextStream> OpenRingLog(UniqueFd& log, const std::string& name, long long end,
                                        bool cut);

// Whether a ring lies beside the log `name`.
bool RingLeft(const std::string& name) noexcept;

// Empties into the log `name` behind `log` (whose exclusive lock is held, and which is `size`
// bytes long) what a ring that its writer left holds, then removes the ring; the log's size
// afterwards. A ring that another process holds is left alone. Raises the error of a write that
// fails (61 on a full disk), the ring kept for the next open.
long long DrainLeftRing(int log, const std::string& name, long long size);

// Writes what every open ring of the process holds into its log, from a crash's handler:
// system calls only, nothing allocated, no lock taken.
void DrainRingsNow() noexcept;

}  // namespace cobaltmoth::platform::posix
