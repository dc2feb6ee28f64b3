// One page of the positions of a score vector ranked from the highest score
// down, without sorting the whole vector. Ranking order is that of an
// ascending sort reversed: NaN (which an ascending sort puts last) ranks
// above every number. Equal scores come in no defined order, so only the
// scores along the page are determined, not which of two tied positions
// comes first.
#pragma once

#include <cstddef>
#include <vector>

namespace wrapper_native {

// Positions ranked [begin, end) of scores[0..n), best first. `begin` and
// `end` are already clipped to [0, n] (an empty range gives an empty page).
template <class Score>
std::vector<size_t> descending_page(const Score *scores, size_t n, size_t begin, size_t end);

extern template std::vector<size_t> descending_page<float>(const float *, size_t, size_t,
                                                           size_t);
extern template std::vector<size_t> descending_page<double>(const double *, size_t, size_t,
                                                            size_t);

}  // namespace wrapper_native
