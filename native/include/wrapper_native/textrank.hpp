// Graph ranking for extractive summaries and keywords: PageRank over a
// weighted undirected graph, and over the cosine-similarity graph of
// sentences without materialising that graph.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

namespace wrapper_native {

inline constexpr double kDamping = 0.85;

// Adjacency lists; an undirected edge appears in the lists of both ends.
using WeightedAdjacency = std::vector<std::vector<std::pair<size_t, double>>>;

// PageRank scores (summing to 1). A node without edges spreads its score
// over all nodes. Iterates until the L1 change is below `tolerance`.
std::vector<double> pagerank(const WeightedAdjacency &graph, double damping = kDamping,
                             double tolerance = 1e-12, int max_iterations = 500);

// A sentence as (term, weight) pairs with distinct terms and weights > 0.
using TermVector = std::vector<std::pair<size_t, double>>;

// PageRank over the graph whose edge i-j weighs the cosine similarity of
// sentences i and j (no self loops). Each iteration costs the number of
// (sentence, term) pairs, not the number of sentence pairs.
std::vector<double> rank_by_similarity(const std::vector<TermVector> &sentences,
                                       size_t term_count, double damping = kDamping,
                                       double tolerance = 1e-12, int max_iterations = 500);

// Order of nodes by score, best first; equal scores keep index order.
std::vector<size_t> rank_order(const std::vector<double> &scores);

// How many of `count` items a ratio keeps: int(count * ratio), but at least
// one of a non-empty list when the ratio is positive.
size_t ratio_count(size_t count, double ratio);

// Which sentences a summary keeps, in text order. Without a word budget,
// the best ratio_count(n, ratio) sentences. With one, sentences are taken
// best first for as long as each brings the total word count closer to
// the budget (or keeps it as close).
std::vector<size_t> select_sentences(const std::vector<double> &scores,
                                     const std::vector<size_t> &word_counts, double ratio,
                                     std::optional<size_t> word_budget);

}  // namespace wrapper_native
