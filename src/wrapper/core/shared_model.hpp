// One model directory shared by several engines, in one process or many.
//
// Every writer of an engine's model and debug file holds the directory's
// lock, a file named after the model file with ".lock" added, for its
// whole read, merge and write. An engine remembers which file it last read
// or wrote (device, inode, size, modification time in ns; a replacement by
// rename is a new inode). Under the lock a training first reads the file
// again when another writer replaced it, so what the others trained is kept
// and the engine's own rules for identifiers apply to the merged whole; a
// search compares one stat with what it remembers and reads the file only
// when it was replaced.
//
// The hooks, in the order a finder calls them:
//   load_model:      Stamp seen = stamp(self) before reading the file,
//                    remember(self, seen) once it was read;
//   train_model:     Training training(a, self) before touching the model;
//   after a write:   written(self) once the model file was replaced;
//   search:          refresh(a, self) before scoring.
// A batch of trainings is one Training around the whole batch.
#pragma once

#include <nanobind/nanobind.h>
#include <sys/types.h>

#include <optional>

#include "pyface/file_lock.hpp"
#include "pyface/function.hpp"

namespace wrapper::shared_model {
namespace nb = nanobind;

// Which file a path names: equal stamps, same file, unchanged.
struct Stamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    long long mtime_ns = 0;

    bool operator==(const Stamp &) const = default;
};

// The stamp of the engine's `model_filename` now (one stat; a file that
// cannot be looked at counts as missing).
Stamp stamp(nb::handle engine);

// The engine holds what the file of this stamp held (it read or wrote it).
void remember(nb::handle engine, const Stamp &seen);

// remember(engine, stamp(engine)): the engine just replaced its model file,
// under the lock, so the file there now is its own.
void written(nb::handle engine);

// True when the file exists and is not the one the engine last read or
// wrote. A missing file is never stale: there is nothing to bring in, and
// the engine keeps (and next writes) what it holds.
bool stale(nb::handle engine, const Stamp &now);

// The lock of the engine's model directory, held while this object lives.
// Taken again by the thread that holds it, it only counts. For `reading`
// only, a directory where this process may not create the lock file goes
// unlocked: nobody writes there, or not as this user (a deployed model read
// by a search service); a writer there fails on the lock as on its files.
class DirectoryLock {
public:
    DirectoryLock(const pyface::Args &a, nb::handle engine, bool reading = false);

private:
    std::optional<pyface::FileLock> lock_;
};

// What a training (or a batch of trainings) holds: the directory lock;
// taken, it removes temporary files of writers that died, and makes a
// loaded engine read its model file again when another process replaced
// it. An error of that reading reaches the caller with the engine as it
// was.
class Training {
public:
    Training(const pyface::Args &a, nb::handle engine);

private:
    DirectoryLock lock_;
};

// Start of a search on a loaded engine: reads the model file again when it
// was replaced. When it cannot be read, the engine answers from memory, an
// ERROR naming the file is logged, and the next search tries again.
void refresh(const pyface::Args &a, nb::handle engine);

}  // namespace wrapper::shared_model
