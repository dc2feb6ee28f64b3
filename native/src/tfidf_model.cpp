#include "wrapper_native/tfidf_model.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <iterator>
#include <stdexcept>

#if defined(__SSE2__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace wrapper_native {

size_t count_ascii_tokens(const unsigned char *text, size_t n) {
    auto word = [](unsigned char c) -> uint8_t {
        const unsigned char lower = c | 0x20;
        return static_cast<uint8_t>((static_cast<unsigned char>(lower - 'a') < 26) |
                                    (static_cast<unsigned char>(c - '0') < 10) | (c == '_'));
    };
    // A token starts where a run of word characters reaches its second
    // character: every position is tested on its own (no running state),
    // and the starts are summed in bytes over blocks of 255 positions, so
    // the loop vectorises without widening every lane to a size_t.
    if (n < 2) return 0;
    size_t count = word(text[0]) & word(text[1]);
    for (size_t i = 2; i < n;) {
        const size_t end = std::min(n, i + 255);
        uint8_t block = 0;
        for (size_t k = i; k < end; ++k)
            block += word(text[k]) & word(text[k - 1]) & (word(text[k - 2]) ^ 1u);
        count += block;
        i = end;
    }
    return count;
}

uint64_t TermTable::hash(std::u32string_view term) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (char32_t c : term) h = (h ^ static_cast<uint64_t>(c)) * 0x100000001b3ull;
    return h ^ (h >> 29);
}

// A slot holds the id + 1 in its low half (0: empty) and the upper half
// of the term's hash, so that most mismatches cost no look at the text.
namespace {
uint64_t slot_of(uint32_t id, uint64_t h) { return (h & 0xffffffff00000000ull) | (id + 1ull); }
}  // namespace

size_t TermTable::probe(std::u32string_view term, uint64_t h) const {
    const size_t mask = slots_.size() - 1;
    const uint64_t high = h & 0xffffffff00000000ull;
    for (size_t i = static_cast<size_t>(h) & mask;; i = (i + 1) & mask) {
        const uint64_t s = slots_[i];
        if (s == 0) return i;
        if ((s & 0xffffffff00000000ull) == high &&
            text(static_cast<uint32_t>(s & 0xffffffffu) - 1) == term)
            return i;
    }
}

void TermTable::grow() {
    std::vector<uint64_t> slots(slots_.empty() ? 1024 : slots_.size() * 2, 0);
    const size_t mask = slots.size() - 1;
    for (uint32_t id = 0; id < hash_.size(); ++id) {
        if (dead_[id]) continue;
        size_t i = static_cast<size_t>(hash_[id]) & mask;
        while (slots[i] != 0) i = (i + 1) & mask;
        slots[i] = slot_of(id, hash_[id]);
    }
    slots_.swap(slots);
}

uint32_t TermTable::find(std::u32string_view term) const {
    if (slots_.empty()) return kMissing;
    const uint64_t s = slots_[probe(term, hash(term))];
    return s == 0 ? kMissing : static_cast<uint32_t>(s & 0xffffffffu) - 1;
}

uint32_t TermTable::intern(std::u32string_view term) {
    if ((live() + 1) * 2 > slots_.size()) grow();
    const uint64_t h = hash(term);
    const size_t i = probe(term, h);
    if (slots_[i] != 0) return static_cast<uint32_t>(slots_[i] & 0xffffffffu) - 1;
    uint32_t id;
    if (!free_.empty()) {
        id = free_.back();
        free_.pop_back();
        offset_[id] = arena_.size();
        length_[id] = static_cast<uint32_t>(term.size());
        hash_[id] = h;
        dead_[id] = 0;
    } else {
        id = static_cast<uint32_t>(hash_.size());
        offset_.push_back(arena_.size());
        length_.push_back(static_cast<uint32_t>(term.size()));
        hash_.push_back(h);
        dead_.push_back(0);
    }
    arena_.append(term);
    slots_[i] = slot_of(id, h);
    return id;
}

// Linear probing without tombstones: the entries after the freed slot that
// may sit in it move back, so every probe still ends at an empty slot.
void TermTable::release(uint32_t id) {
    if (id >= dead_.size() || dead_[id]) return;
    const size_t mask = slots_.size() - 1;
    size_t i = probe(text(id), hash_[id]);
    for (size_t j = (i + 1) & mask; slots_[j] != 0; j = (j + 1) & mask) {
        const auto other = static_cast<uint32_t>(slots_[j] & 0xffffffffu) - 1;
        const size_t home = static_cast<size_t>(hash_[other]) & mask;
        const bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (!stays) {
            slots_[i] = slots_[j];
            i = j;
        }
    }
    slots_[i] = 0;
    dead_[id] = 1;
    dead_chars_ += length_[id];
    length_[id] = 0;
    free_.push_back(id);
    if (dead_chars_ > 4096 && dead_chars_ * 2 > arena_.size()) compact();
}

void TermTable::compact() {
    std::u32string arena;
    arena.reserve(arena_.size() - dead_chars_);
    for (uint32_t id = 0; id < offset_.size(); ++id) {
        if (dead_[id]) continue;
        const size_t at = arena.size();
        arena.append(arena_, offset_[id], length_[id]);
        offset_[id] = at;
    }
    arena.shrink_to_fit();
    arena_.swap(arena);
    dead_chars_ = 0;
}

std::vector<TermCount> count_terms(std::u32string_view text, const CharClasses &cc,
                                   TermTable &terms) {
    // Position of each term in `counts`, valid where its stamp is the
    // current generation: kept between calls so no text pays for clearing.
    struct Seen {
        uint32_t stamp, where;
    };
    thread_local std::vector<Seen> seen;
    thread_local uint32_t generation = 0;
    if (++generation == 0) {
        std::fill(seen.begin(), seen.end(), Seen{0, 0});
        generation = 1;
    }
    std::vector<TermCount> counts;
    for_each_token(text, cc, [&](std::u32string_view token) {
        const uint32_t id = terms.intern(token);
        if (id >= seen.size()) seen.resize(std::max<size_t>(1024, 2 * static_cast<size_t>(id)), Seen{0, 0});
        Seen &s = seen[id];
        if (s.stamp != generation) {
            s = {generation, static_cast<uint32_t>(counts.size())};
            counts.push_back({id, 1});
        } else {
            ++counts[s.where].count;
        }
    });
    return counts;
}

IncrementalTfidf::DocId IncrementalTfidf::add(std::vector<TermCount> counts) {
    return insert(std::move(counts), true);
}

IncrementalTfidf::DocId IncrementalTfidf::insert(std::vector<TermCount> counts, bool order_known) {
    DocId id;
    if (!free_.empty()) {
        id = free_.back();
        free_.pop_back();
    } else {
        id = static_cast<DocId>(docs_.size());
        docs_.emplace_back();
    }
    if (df_.size() < terms_.size()) df_.resize(terms_.size(), 0);
    for (const TermCount &tc : counts)
        if (df_[tc.term]++ == 0) pending_.push_back(tc.term);
    if (query_side_ready()) {
        if (postings_.size() < terms_.size()) postings_.resize(terms_.size());
        for (const TermCount &tc : counts) postings_[tc.term].push_back({id, tc.count});
    }
    Doc &doc = docs_[id];
    // A document whose own order is not known keeps one list: the stored
    // order stands for both.
    if (order_known) doc.first_seen = counts;
    doc.by_rank = std::move(counts);
    doc.order_known = order_known;
    doc.live = true;
    doc.ranked = false;
    return id;
}

void IncrementalTfidf::remove(DocId id) {
    Doc &doc = docs_.at(id);
    if (!doc.live) throw std::logic_error("document removed twice");
    for (const TermCount &tc : doc.entries()) {
        const uint32_t t = tc.term;
        --df_[t];
        if (query_side_ready()) {
            auto &list = postings_[t];
            for (size_t k = 0; k < list.size(); ++k) {
                if (list[k].doc == id) {
                    list[k] = list.back();
                    list.pop_back();
                    break;
                }
            }
        }
        if (!doc.ranked || t >= rank_.size()) continue;
        if (df_[t] == 0) {
            rank_[t] = UINT32_MAX;  // gone: met again, it is a new first sight
            vanished_.push_back(t);
            ranks_lost_ = true;
        } else if (rank_[t] >= doc.rank_begin && rank_[t] < doc.rank_end) {
            // Another row now holds its first sight: ranks move.
            reorder_ = true;
        }
    }
    if (!doc.order_known) --unknown_order_;
    doc = Doc{};
    free_.push_back(id);
}

std::vector<IncrementalTfidf::DocId> IncrementalTfidf::adopt(
    const std::vector<std::u32string_view> &terms, const std::vector<uint32_t> &columns,
    std::vector<std::vector<TermCount>> rows) {
    if (terms_.size() != 0 || !docs_.empty()) throw std::logic_error("adopt needs an empty model");
    const size_t n_terms = terms.size();
    if (columns.size() != n_terms) throw std::invalid_argument("one column per term");
    for (size_t t = 0; t < n_terms; ++t)
        if (terms_.intern(terms[t]) != t) throw std::invalid_argument("terms must be distinct");
    // Ranks are the positions in `terms`: a row holds its own first sights
    // last (stored order is by rank), numbered on from the rows before it.
    uint32_t next = 0;
    for (const auto &row : rows) {
        for (size_t k = 0; k < row.size(); ++k) {
            const uint32_t t = row[k].term;
            if (t >= n_terms || row[k].count == 0 || (k > 0 && row[k - 1].term >= t))
                throw std::invalid_argument("row not in order of first sight");
            if (t >= next && t != next++) throw std::invalid_argument("first sights out of order");
        }
    }
    if (next != n_terms) throw std::invalid_argument("terms no row holds");
    query_gate_.ready = false;
    docs_.reserve(rows.size());
    std::vector<DocId> ids;
    ids.reserve(rows.size());
    rank_.assign(n_terms, UINT32_MAX);
    next = 0;
    for (auto &row : rows) {
        const DocId id = insert(std::move(row), false);
        Doc &doc = docs_[id];
        doc.ranked = true;
        doc.rank_begin = next;
        for (const TermCount &tc : doc.by_rank)
            if (tc.term == next) rank_[tc.term] = next++;
        doc.rank_end = next;
        ids.push_back(id);
    }
    unknown_order_ = ids.size();
    first_seen_.resize(n_terms);
    for (uint32_t t = 0; t < n_terms; ++t) first_seen_[t] = t;
    next_rank_ = next;
    pending_.clear();
    columns_.assign(n_terms, 0);
    column_of_.assign(n_terms, TermTable::kMissing);
    in_columns_.assign(n_terms, 1);
    for (uint32_t t = 0; t < n_terms; ++t) {
        if (columns[t] >= n_terms || column_of_[t] != TermTable::kMissing)
            throw std::invalid_argument("columns must number the terms");
        column_of_[t] = columns[t];
        columns_[columns[t]] = t;
    }
    for (size_t c = 1; c < n_terms; ++c)
        if (!(terms_.text(columns_[c - 1]) < terms_.text(columns_[c])))
            throw std::invalid_argument("columns must follow the terms' order");
    rows_ = ids;
    row_of_.assign(docs_.size(), UINT32_MAX);
    nnz_ = 0;
    for (size_t r = 0; r < rows_.size(); ++r) {
        row_of_[rows_[r]] = static_cast<uint32_t>(r);
        nnz_ += docs_[rows_[r]].by_rank.size();
    }
    reorder_ = ranks_lost_ = false;
    reordered_ = true;
    return ids;
}

void IncrementalTfidf::set_rows(std::vector<DocId> rows) {
    size_t live = 0;
    for (const Doc &d : docs_) live += d.live ? 1 : 0;
    if (rows.size() != live) throw std::logic_error("rows must list every live document");
    std::vector<DocId> old = std::move(rows_);
    rows_ = std::move(rows);
    refresh_columns();
    if (rank_.size() < terms_.size()) rank_.resize(terms_.size(), UINT32_MAX);
    if (!reorder_ && ranks_lost_)
        std::erase_if(first_seen_, [this](uint32_t t) { return rank_[t] == UINT32_MAX; });
    reordered_ = reorder_ || !extend_rows_by_rank(old);
    if (reordered_) order_rows_by_rank();
    reorder_ = ranks_lost_ = false;
    row_of_.assign(docs_.size(), UINT32_MAX);
    nnz_ = 0;
    for (size_t r = 0; r < rows_.size(); ++r) {
        row_of_[rows_[r]] = static_cast<uint32_t>(r);
        nnz_ += docs_[rows_[r]].by_rank.size();
    }
}

void IncrementalTfidf::release_term(uint32_t t) {
    if (!terms_.is_live(t)) return;
    if (query_side_ready()) matcher_.remove(t);
    terms_.release(t);
    column_of_[t] = TermTable::kMissing;
    in_columns_[t] = 0;
    if (t < rank_.size()) rank_[t] = UINT32_MAX;
    if (t < postings_.size()) std::vector<Posting>().swap(postings_[t]);
    released_.push_back(t);
}

// The vocabulary changes only by the terms whose frequency reached or left
// zero: the sorted list is filtered and the new terms merged in.
void IncrementalTfidf::refresh_columns() {
    const size_t n_terms = terms_.size();
    if (df_.size() < n_terms) df_.resize(n_terms, 0);
    if (query_side_ready() && postings_.size() < n_terms) postings_.resize(n_terms);
    column_of_.resize(n_terms, TermTable::kMissing);
    in_columns_.resize(n_terms, 0);

    std::vector<uint32_t> kept;
    kept.reserve(columns_.size() + pending_.size());
    std::vector<uint32_t> gone;
    for (uint32_t t : columns_) {
        if (df_[t] > 0)
            kept.push_back(t);
        else
            gone.push_back(t);
    }
    std::vector<uint32_t> added;
    for (uint32_t t : pending_) {
        if (df_[t] > 0 && !in_columns_[t]) {
            in_columns_[t] = 1;
            added.push_back(t);
            if (query_side_ready()) matcher_.add(t, terms_.text(t));
        } else if (df_[t] == 0 && !in_columns_[t]) {
            gone.push_back(t);  // met and left again since the last refresh
        }
    }
    pending_.clear();
    for (uint32_t t : gone) release_term(t);
    auto by_text = [this](uint32_t x, uint32_t y) { return terms_.text(x) < terms_.text(y); };
    std::sort(added.begin(), added.end(), by_text);
    // A few new terms go in by binary search, so the old terms are copied
    // in runs rather than compared one by one.
    columns_.clear();
    columns_.reserve(kept.size() + added.size());
    auto from = kept.begin();
    for (uint32_t t : added) {
        auto at = std::lower_bound(from, kept.end(), t, by_text);
        columns_.insert(columns_.end(), from, at);
        columns_.push_back(t);
        from = at;
    }
    columns_.insert(columns_.end(), from, kept.end());
    for (size_t c = 0; c < columns_.size(); ++c)
        column_of_[columns_[c]] = static_cast<uint32_t>(c);
}

bool IncrementalTfidf::extend_rows_by_rank(const std::vector<DocId> &old_rows) {
    // The rows must be the previous ones that are still there, in their
    // order, followed by documents not ranked yet.
    size_t k = 0;
    for (DocId d : old_rows) {
        if (d >= docs_.size() || !docs_[d].live || !docs_[d].ranked) continue;
        if (k >= rows_.size() || rows_[k] != d) return false;
        ++k;
    }
    for (size_t r = k; r < rows_.size(); ++r)
        if (docs_[rows_[r]].ranked) return false;
    auto by_rank = [this](const TermCount &x, const TermCount &y) {
        return rank_[x.term] < rank_[y.term];
    };
    for (size_t r = k; r < rows_.size(); ++r) {
        Doc &doc = docs_[rows_[r]];
        doc.rank_begin = next_rank_;
        for (const TermCount &tc : doc.entries()) {
            if (rank_[tc.term] == UINT32_MAX) {
                rank_[tc.term] = next_rank_++;
                first_seen_.push_back(tc.term);
            }
        }
        doc.rank_end = next_rank_;
        doc.ranked = true;
        if (!std::is_sorted(doc.by_rank.begin(), doc.by_rank.end(), by_rank))
            std::sort(doc.by_rank.begin(), doc.by_rank.end(), by_rank);
    }
    return true;
}

void IncrementalTfidf::order_rows_by_rank() {
    const size_t n_terms = terms_.size();
    rank_.assign(n_terms, UINT32_MAX);
    first_seen_.clear();
    uint32_t next = 0;
    for (DocId id : rows_) {
        Doc &doc = docs_[id];
        doc.rank_begin = next;
        for (const TermCount &tc : doc.entries()) {
            if (rank_[tc.term] == UINT32_MAX) {
                rank_[tc.term] = next++;
                first_seen_.push_back(tc.term);
            }
        }
        doc.rank_end = next;
        doc.ranked = true;
    }
    next_rank_ = next;
    auto by_rank = [this](const TermCount &x, const TermCount &y) {
        return rank_[x.term] < rank_[y.term];
    };
    for (DocId id : rows_) {
        auto &row = docs_[id].by_rank;
        // Ranks of old terms keep their relative order unless a document
        // moved; most rows are still in order and only checked.
        if (!std::is_sorted(row.begin(), row.end(), by_rank))
            std::sort(row.begin(), row.end(), by_rank);
    }
}

std::vector<double> IncrementalTfidf::document_frequencies() const {
    std::vector<double> df(columns_.size());
    for (size_t c = 0; c < columns_.size(); ++c) df[c] = static_cast<double>(df_[columns_[c]]);
    return df;
}

template <class Index>
bool recover_row_counts(const double *x, const Index *j, size_t n, const double *idf,
                        const std::vector<uint32_t> &term_of_column, size_t tokens,
                        std::vector<TermCount> &out) {
    out.clear();
    if (n == 0) return tokens == 0;
    // Scratch reused from row to row: a collection has 10^4 rows and more.
    // The idf of each entry is looked up once (the lookups are random over
    // the whole vocabulary) and read in order by the passes after. Each
    // pass runs to the end of the row and says at the end whether the row
    // failed, so that it vectorises.
    thread_local std::vector<double> ratio, weight, whole;
    ratio.resize(n);
    weight.resize(n);
    whole.resize(n);
    double *__restrict r = ratio.data();
    double *__restrict w = weight.data();
    double *__restrict c = whole.data();
    constexpr size_t kAhead = 16;
    for (size_t k = 0; k < n; ++k) {
        if (k + kAhead < n) __builtin_prefetch(&idf[j[k + kAhead]]);
        w[k] = idf[j[k]];
    }
    for (size_t k = 0; k < n; ++k) r[k] = x[k] / w[k];
    double smallest = r[0];
    bool bad = false;
    for (size_t k = 0; k < n; ++k) {
        bad |= !(r[k] > 0.0 && r[k] <= DBL_MAX);
        smallest = r[k] < smallest ? r[k] : smallest;
    }
    if (bad) return false;
    // Only a guess, to within a tolerance: the check below is exact.
    const double per_smallest = 1.0 / smallest;
    // Adding and taking away 2^52 rounds to the nearest whole number (ties
    // to even, as rint) for 0 <= v < 2^52, in plain arithmetic that
    // vectorises; halves are refused below whichever way they round.
    constexpr double kRound = 0x1p52;
    double sum = 0.0;
    bool found = false;
    for (int m = 1; m <= 64 && !found; ++m) {
        const auto times = static_cast<double>(m);
        bool off = false;
        sum = 0.0;
        for (size_t k = 0; k < n; ++k) {
            const double v = times * r[k] * per_smallest;
            const double near = (v + kRound) - kRound;
            // No count of a text that fits in memory reaches 4e9.
            off |= !(v < 4.0e9) | !(near >= 1.0) | !(std::fabs(v - near) <= 1e-7 * near);
            c[k] = near;
            sum += near;  // whole numbers below 2^53: exact
        }
        found = !off;
    }
    if (!found) return false;
    const auto sum_whole = static_cast<uint64_t>(sum);  // at least 1, below n * 4e9
    if (tokens % sum_whole != 0) return false;
    const uint64_t times_whole = tokens / sum_whole;  // exact: checked above
    const auto scale = static_cast<double>(times_whole);
    double total = 0.0;
    for (size_t k = 0; k < n; ++k) {
        c[k] *= scale;
        const double v = c[k] * w[k];
        total += v * v;
    }
    const double norm = std::sqrt(total);
    bool differs = false;
    for (size_t k = 0; k < n; ++k) differs |= !(c[k] <= UINT32_MAX) | ((c[k] * w[k]) / norm != x[k]);
    if (differs) return false;
    out.resize(n);
    for (size_t k = 0; k < n; ++k)
        out[k] = {term_of_column[static_cast<size_t>(j[k])], static_cast<uint32_t>(c[k])};
    return true;
}

template bool recover_row_counts<int32_t>(const double *, const int32_t *, size_t, const double *,
                                          const std::vector<uint32_t> &, size_t,
                                          std::vector<TermCount> &);
template bool recover_row_counts<int64_t>(const double *, const int64_t *, size_t, const double *,
                                          const std::vector<uint32_t> &, size_t,
                                          std::vector<TermCount> &);

void normalize_l2(double *values, size_t n) {
    double sum = 0.0;
    for (size_t k = 0; k < n; ++k) sum += values[k] * values[k];
    if (sum == 0.0) return;
    sum = std::sqrt(sum);
    for (size_t k = 0; k < n; ++k) values[k] /= sum;
}

namespace {

// Sums of squares of several rows at once, each in its own stored order
// (the order the reference sums in): one row's sum is a chain of dependent
// additions, so the rows are walked side by side to keep several chains in
// flight instead of waiting on one.
constexpr size_t kLanes = 4;

void sums_of_squares(const double *const *rows, const size_t *lengths, size_t n,
                     double *sums) {
    size_t common = SIZE_MAX;
    for (size_t g = 0; g < n; ++g) common = std::min(common, lengths[g]);
    double s[kLanes] = {0.0, 0.0, 0.0, 0.0};
    size_t i = 0;
    if (n == kLanes) {
        const double *a = rows[0], *b = rows[1], *c = rows[2], *d = rows[3];
        for (; i < common; ++i) {
            s[0] += a[i] * a[i];
            s[1] += b[i] * b[i];
            s[2] += c[i] * c[i];
            s[3] += d[i] * d[i];
        }
    }
    for (size_t g = 0; g < n; ++g) {
        double sum = s[g];
        const double *x = rows[g];
        for (size_t k = i; k < lengths[g]; ++k) sum += x[k] * x[k];
        sums[g] = sum;
    }
}

// The matrix is tens of megabytes written once per training: its stores
// bypass the cache, so its lines are not first read from memory only to be
// overwritten whole (and the cache keeps the counts and weights).
template <class Index>
inline void stream_store(Index *at, Index value) {
#if defined(__SSE2__) && defined(__x86_64__)
    if constexpr (sizeof(Index) == 4)
        _mm_stream_si32(reinterpret_cast<int *>(at), static_cast<int>(value));
    else
        _mm_stream_si64(reinterpret_cast<long long *>(at), static_cast<long long>(value));
#else
    *at = value;
#endif
}

void stream_copy(double *to, const double *from, size_t n) {
#if defined(__SSE2__) && defined(__x86_64__)
    // The double's bits stored as a 64-bit integer: the only streamed store
    // of one 8-byte value x86-64 has.
    for (size_t m = 0; m < n; ++m)
        // cppcheck-suppress invalidPointerCast
        _mm_stream_si64(reinterpret_cast<long long *>(to + m), std::bit_cast<long long>(from[m]));
#else
    std::copy(from, from + n, to);
#endif
}

// Streamed stores are ordered with the ones after them (the caller reads
// the matrix next, possibly from another thread).
void stream_fence() {
#if defined(__SSE2__) && defined(__x86_64__)
    _mm_sfence();
#endif
}

// Plain division by a loop-invariant divisor: vectorised, and rounded as
// the scalar division the reference does.
void divide(double *values, size_t n, double by) {
    for (size_t k = 0; k < n; ++k) values[k] /= by;
}

}  // namespace

template <class Index>
void IncrementalTfidf::fill(RowOrder order, const double *idf, double *data, Index *indices,
                            Index *indptr) {
    const size_t n_cols = columns_.size();
    idf_.assign(idf, idf + n_cols);
    weight_.resize(terms_.size());
    // The idf depends on the document frequency alone, so terms of equal
    // frequency share one entry; should two given values disagree, each
    // column keeps its own.
    const size_t most = rows_.size();
    std::vector<uint8_t> have(most + 1, 0);
    idf_by_slot_.assign(most + 1, 0.0);
    bool by_frequency = true;
    for (size_t c = 0; c < n_cols && by_frequency; ++c) {
        const uint32_t df = df_[columns_[c]];
        if (df > most) {
            by_frequency = false;
        } else if (!have[df]) {
            have[df] = 1;
            idf_by_slot_[df] = idf[c];
        } else {
            by_frequency = std::bit_cast<uint64_t>(idf_by_slot_[df]) == std::bit_cast<uint64_t>(idf[c]);
        }
        weight_[columns_[c]] = {static_cast<uint32_t>(c), df};
    }
    if (!by_frequency) {
        idf_by_slot_.assign(idf, idf + n_cols);
        for (size_t c = 0; c < n_cols; ++c)
            weight_[columns_[c]] = {static_cast<uint32_t>(c), static_cast<uint32_t>(c)};
    }
    const double *idf_of = idf_by_slot_.data();
    norm1_.resize(rows_.size());
    norm2_.resize(rows_.size());
    size_t k = 0;
    indptr[0] = 0;
    std::vector<TermCount> sorted;
    // A group of rows is weighted and normalised in a scratch buffer that
    // stays in cache, then streamed to the matrix.
    std::vector<double> scratch;
    for (size_t r0 = 0; r0 < rows_.size(); r0 += kLanes) {
        const size_t lanes = std::min(kLanes, rows_.size() - r0);
        const size_t group_begin = k;
        size_t group_size = 0;
        for (size_t g = 0; g < lanes; ++g) group_size += docs_[rows_[r0 + g]].by_rank.size();
        if (scratch.size() < group_size) scratch.resize(group_size + group_size / 2);
        double *starts[kLanes];
        size_t lengths[kLanes];
        for (size_t g = 0; g < lanes; ++g) {
            const size_t r = r0 + g;
            const std::vector<TermCount> *row = &docs_[rows_[r]].by_rank;
            if (order == RowOrder::Column) {
                sorted = *row;
                std::sort(sorted.begin(), sorted.end(),
                          [this](const TermCount &x, const TermCount &y) {
                              return column_of_[x.term] < column_of_[y.term];
                          });
                row = &sorted;
            }
            double *x = scratch.data() + (k - group_begin);
            starts[g] = x;
            lengths[g] = row->size();
            const TermCount *tc = row->data();
            Index *j = indices + k;
            // The weights of rare terms are cache misses: asked for ahead.
            constexpr size_t kAhead = 16;
            const size_t len = lengths[g];
            for (size_t m = 0; m < std::min(len, kAhead); ++m)
                __builtin_prefetch(&weight_[tc[m].term]);
            // Each row's counts are a block of their own in memory: the next
            // row's are asked for a cache line per eight entries of this
            // one, so they are in cache when its turn comes (and the row
            // after that is located).
            const TermCount *next = nullptr;
            size_t next_len = 0;
            if (r + 1 < rows_.size()) {
                const std::vector<TermCount> &following = docs_[rows_[r + 1]].by_rank;
                next = following.data();
                next_len = following.size();
                if (r + 2 < rows_.size()) __builtin_prefetch(&docs_[rows_[r + 2]]);
            }
            constexpr size_t kPerLine = 64 / sizeof(TermCount);
            for (size_t m = 0; m < len; ++m) {
                if (m + kAhead < len) __builtin_prefetch(&weight_[tc[m + kAhead].term]);
                if (m % kPerLine == 0 && m < next_len) __builtin_prefetch(next + m);
                const Weight w = weight_[tc[m].term];
                stream_store(j + m, static_cast<Index>(w.column));
                x[m] = static_cast<double>(tc[m].count) * idf_of[w.slot];
            }
            for (size_t m = (len + kPerLine - 1) / kPerLine * kPerLine; m < next_len; m += kPerLine)
                __builtin_prefetch(next + m);
            k += lengths[g];
            indptr[r + 1] = static_cast<Index>(k);
        }
        // normalize_l2 of each row, then the sum of squares that
        // cosine_similarity takes of the stored row, kept for scoring.
        double sums[kLanes];
        sums_of_squares(starts, lengths, lanes, sums);
        for (size_t g = 0; g < lanes; ++g) {
            const double norm = sums[g] == 0.0 ? 0.0 : std::sqrt(sums[g]);
            if (norm != 0.0) divide(starts[g], lengths[g], norm);
            norm1_[r0 + g] = norm;
        }
        sums_of_squares(starts, lengths, lanes, sums);
        for (size_t g = 0; g < lanes; ++g)
            norm2_[r0 + g] = norm1_[r0 + g] == 0.0 || sums[g] == 0.0 ? 0.0 : std::sqrt(sums[g]);
        stream_copy(data + group_begin, scratch.data(), group_size);
    }
    stream_fence();
}

// The postings sized from the document frequencies, then filled in one
// pass over the documents; the matcher from the columns.
void IncrementalTfidf::build_query_side() const {
    if (query_side_ready()) return;
    std::lock_guard<std::mutex> lock(query_gate_.building);
    if (query_gate_.ready.load(std::memory_order_relaxed)) return;
    postings_.assign(terms_.size(), {});
    for (size_t t = 0; t < df_.size() && t < postings_.size(); ++t) postings_[t].reserve(df_[t]);
    for (size_t id = 0; id < docs_.size(); ++id) {
        if (!docs_[id].live) continue;
        for (const TermCount &tc : docs_[id].entries())
            postings_[tc.term].push_back({static_cast<DocId>(id), tc.count});
    }
    matcher_ = CloseMatchSet();
    for (uint32_t t : columns_) matcher_.add(t, terms_.text(t));
    query_gate_.ready.store(true, std::memory_order_release);
}

void IncrementalTfidf::score(const std::vector<std::pair<uint32_t, double>> &query,
                             double *scores) const {
    build_query_side();
    std::fill(scores, scores + rows_.size(), 0.0);
    for (const auto &[col, q] : query) {
        if (col >= columns_.size()) throw std::out_of_range("query column out of range");
        const double w = idf_[col];
        for (const Posting &p : postings_[columns_[col]]) {
            const uint32_t r = row_of_[p.doc];
            double x = static_cast<double>(p.count) * w;
            if (norm1_[r] != 0.0) x /= norm1_[r];
            if (norm2_[r] != 0.0) x /= norm2_[r];
            scores[r] += q * x;
        }
    }
}

template void IncrementalTfidf::fill<int32_t>(RowOrder, const double *, double *, int32_t *,
                                              int32_t *);
template void IncrementalTfidf::fill<int64_t>(RowOrder, const double *, double *, int64_t *,
                                              int64_t *);

}  // namespace wrapper_native
