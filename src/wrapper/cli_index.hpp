// Bulk indexing behind `wrapper index`: many compiles at once on an
// Executor, one trainer in the calling process.
#pragma once

#include <nanobind/nanobind.h>

#include "pyface/function.hpp"

namespace wrapper::cli {
namespace nb = nanobind;

// find_documents(base_path, paths=None) -> list of relative paths
nb::object find_documents(const pyface::Args &a);
// compile_document(base_path, relative_path, is_detect_language, translate_to)
nb::object compile_document(const pyface::Args &a);
// init_worker(log_level, trainer_pid): set-up of the tool's own pool processes
nb::object init_worker(const pyface::Args &a);
// watch_trainer(pid): ends this process when the trainer has ended
nb::object watch_trainer(const pyface::Args &a);
// index_documents(base_path, paths, engine, is_detect_language, translate_to,
//                 executor, workers, batch_size, failures, progress)
nb::object index_documents(const pyface::Args &a);

}  // namespace wrapper::cli
