// The query side of wrapper.core.TfidfFinder.
#pragma once

#include <nanobind/nanobind.h>

#include "pyface/function.hpp"

namespace wrapper::tfidf {
namespace nb = nanobind;

// TfidfFinder.search_documents(self, search_query, detected_search_language=None,
//                              page=1, results_per_page=10, cutoff_for_fix_query=0.9)
nb::object search_documents(const pyface::Args &a);
// TfidfFinder.correct_query(self, query, corpus, cutoff=0.6)
nb::object correct_query(const pyface::Args &a);
// The function object bound as TfidfFinder.correct_query (to tell overrides).
void set_correct_query_function(nb::handle function);

}  // namespace wrapper::tfidf
