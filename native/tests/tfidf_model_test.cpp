#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tfidf_reference.hpp"
#include "wrapper_native/tfidf_model.hpp"
#include "wrapper_native/tfidf_scoring.hpp"

using namespace wrapper_native;
using reference::ReferenceFit;

namespace {

std::vector<std::u32string> tokens(const std::u32string &text) {
    return reference::word_tokens(text, ascii_classes());
}

ReferenceFit reference_fit(const std::vector<std::u32string> &texts) {
    return reference::reference_fit(texts, ascii_classes());
}

std::u32string random_text(std::mt19937 &rng) {
    static const std::vector<std::u32string> words = {
        U"alpha", U"beta", U"gamma", U"delta", U"x", U"zeta", U"eta", U"theta", U"a1", U"_b",
        U"kappa", U"lambda", U"mu", U"nu", U"xi", U"omicron", U"pi", U"rho"};
    std::u32string text;
    const size_t n = rng() % 12;
    for (size_t k = 0; k < n; ++k) {
        text += words[rng() % words.size()];
        text += (rng() % 4 == 0) ? U"-" : U" ";
    }
    return text;
}

}  // namespace

TEST(Tokens, RunsOfTwoOrMoreWordCharacters) {
    EXPECT_EQ(tokens(U"a bc d_e f-gh 12 x"),
              (std::vector<std::u32string>{U"bc", U"d_e", U"gh", U"12"}));
    EXPECT_TRUE(tokens(U"a b c !").empty());
}

TEST(TermTable, InternsAndFindsThroughGrowth) {
    std::mt19937 rng(8);
    TermTable table;
    std::map<std::u32string, uint32_t> reference;
    for (int k = 0; k < 20000; ++k) {
        std::u32string term(1 + rng() % 6, U'a');
        for (auto &c : term) c = U"abcdef\u00e7\U0001F600"[rng() % 8];
        const uint32_t id = table.intern(term);
        auto [it, fresh] = reference.emplace(term, id);
        ASSERT_EQ(it->second, id);
        if (fresh) {
            ASSERT_EQ(id, reference.size() - 1);
        }
    }
    ASSERT_EQ(table.size(), reference.size());
    for (auto &[term, id] : reference) {
        ASSERT_EQ(table.find(term), id);
        ASSERT_EQ(table.text(id), term);
    }
    EXPECT_EQ(table.find(U"zzzzzzzz"), TermTable::kMissing);
    EXPECT_EQ(TermTable().find(U"a"), TermTable::kMissing);
}

TEST(IncrementalTfidf, EqualsFromScratchFitAfterEveryChange) {
    std::mt19937 rng(42);
    IncrementalTfidf model;
    std::vector<std::pair<IncrementalTfidf::DocId, std::u32string>> docs;  // in row order
    for (int step = 0; step < 200; ++step) {
        const unsigned action = rng() % 4;
        if (action == 0 && !docs.empty()) {
            // Replace a document: it leaves its place and comes back last.
            const size_t k = rng() % docs.size();
            model.remove(docs[k].first);
            docs.erase(docs.begin() + static_cast<long>(k));
        }
        if (action == 1 && docs.size() > 1) {
            const size_t k = rng() % docs.size();
            model.remove(docs[k].first);
            docs.erase(docs.begin() + static_cast<long>(k));
            continue;  // a pure removal: rows checked on the next step
        }
        std::u32string text = random_text(rng);
        docs.push_back({model.add(count_terms(text, ascii_classes(), model.terms())), text});

        std::vector<IncrementalTfidf::DocId> rows;
        std::vector<std::u32string> texts;
        for (auto &[id, t] : docs) {
            rows.push_back(id);
            texts.push_back(t);
        }
        model.set_rows(rows);
        ReferenceFit ref = reference_fit(texts);
        ASSERT_EQ(model.columns().size(), ref.columns.size()) << step;
        for (size_t c = 0; c < ref.columns.size(); ++c)
            ASSERT_EQ(model.terms().text(model.columns()[c]), ref.columns[c]) << step;
        ASSERT_EQ(model.first_seen_terms().size(), ref.first_seen.size());
        for (size_t k = 0; k < ref.first_seen.size(); ++k)
            ASSERT_EQ(model.terms().text(model.first_seen_terms()[k]), ref.first_seen[k]);
        std::vector<double> data(model.nnz());
        std::vector<int32_t> indices(model.nnz()), indptr(model.row_count() + 1);
        model.fill(RowOrder::FirstSeen, ref.idf.data(), data.data(), indices.data(), indptr.data());
        ASSERT_EQ(indptr, ref.indptr) << step;
        ASSERT_EQ(indices, ref.indices) << step;
        ASSERT_EQ(data, ref.data) << step;  // bit for bit: same operations, same order
        // Scoring from the counts equals scoring the filled matrix, and
        // the live vocabulary matcher equals an index built afresh.
        const PostingIndex postings(model.row_count(), model.columns().size(), data.data(),
                                    indices.data(), indptr.data());
        std::vector<uint32_t> query_columns;
        for (int q = 0; q < 3 && !model.columns().empty(); ++q)
            query_columns.push_back(rng() % model.columns().size());
        const auto query = query_row(query_columns, ref.idf.data());
        std::vector<double> expected(model.row_count()), got(model.row_count());
        postings.score(query, expected.data());
        model.score(query, got.data());
        ASSERT_EQ(got, expected) << step;
        const CloseMatchIndex fresh(ref.columns);
        for (const char32_t *word : {U"alpa", U"gama", U"omicrn", U"x", U"thet", U"lambdaa"}) {
            auto a = model.matcher().best(word, 0.6);
            auto b = fresh.best(word, 0.6);
            ASSERT_EQ(a.has_value(), b.has_value());
            if (a) ASSERT_EQ(model.terms().text(*a), ref.columns[*b]);
        }
        // Terms no row holds are released.
        ASSERT_EQ(model.terms().live(), model.columns().size()) << step;
        // Document frequencies give the reference idf back.
        auto df = model.document_frequencies();
        for (size_t c = 0; c < df.size(); ++c)
            ASSERT_EQ(std::log((texts.size() + 1.0) / (df[c] + 1.0)) + 1.0, ref.idf[c]);
    }
}

TEST(IncrementalTfidf, ColumnOrderRowsAreSortedByColumn) {
    IncrementalTfidf model;
    auto id = model.add(count_terms(U"zeta alpha beta alpha", ascii_classes(), model.terms()));
    model.set_rows({id});
    std::vector<double> idf(model.columns().size(), 1.0), data(model.nnz());
    std::vector<int64_t> indices(model.nnz()), indptr(2);
    model.fill(RowOrder::Column, idf.data(), data.data(), indices.data(), indptr.data());
    EXPECT_EQ(indices, (std::vector<int64_t>{0, 1, 2}));
    const double norm = std::sqrt(6.0);
    EXPECT_EQ(data, (std::vector<double>{2 / norm, 1 / norm, 1 / norm}));
    model.fill(RowOrder::FirstSeen, idf.data(), data.data(), indices.data(), indptr.data());
    EXPECT_EQ(indices, (std::vector<int64_t>{2, 0, 1}));
}

TEST(IncrementalTfidf, RowsMustBeTheLiveDocuments) {
    IncrementalTfidf model;
    auto a = model.add(count_terms(U"aa bb", ascii_classes(), model.terms()));
    model.add(count_terms(U"cc", ascii_classes(), model.terms()));
    EXPECT_THROW(model.set_rows({a}), std::logic_error);
    model.remove(a);
    EXPECT_THROW(model.remove(a), std::logic_error);
}

TEST(Tokens, AsciiCountEqualsTheTokenizer) {
    std::mt19937 rng(3);
    const std::string alphabet = "aZ0_9 -.\t!xyQ";
    for (int k = 0; k < 2000; ++k) {
        // Long texts too: the count is summed in blocks of 255 positions.
        std::string text(k % 4 == 0 ? rng() % 1200 : rng() % 40, ' ');
        for (char &c : text) c = alphabet[rng() % alphabet.size()];
        if (k % 8 == 0 && text.size() > 300)  // a run of word characters across blocks
            for (size_t i = 250; i < 265; ++i) text[i] = 'a';
        std::u32string wide(text.begin(), text.end());
        size_t expected = 0;
        for_each_token(wide, ascii_classes(), [&](std::u32string_view) { ++expected; });
        ASSERT_EQ(count_ascii_tokens(reinterpret_cast<const unsigned char *>(text.data()),
                                     text.size()),
                  expected)
            << text;
    }
}

TEST(IncrementalTfidf, CountsAreRecoveredFromTheStoredRowsOnly) {
    std::mt19937 rng(11);
    std::vector<std::u32string> texts;
    for (int d = 0; d < 60; ++d) texts.push_back(random_text(rng));
    texts.push_back(U"alpha alpha beta beta");  // counts with a common factor
    const ReferenceFit ref = reference_fit(texts);
    std::vector<uint32_t> term_of_column(ref.columns.size());
    for (size_t c = 0; c < term_of_column.size(); ++c) term_of_column[c] = 1000 + c;
    std::vector<TermCount> out;
    for (size_t r = 0; r + 1 < ref.indptr.size(); ++r) {
        const size_t b = ref.indptr[r], n = ref.indptr[r + 1] - b;
        const size_t token_total = tokens(texts[r]).size();
        ASSERT_TRUE(recover_row_counts(ref.data.data() + b, ref.indices.data() + b, n,
                                       ref.idf.data(), term_of_column, token_total, out))
            << r;
        std::map<std::u32string, uint32_t> expected;
        for (const auto &t : tokens(texts[r])) ++expected[t];
        ASSERT_EQ(out.size(), n);
        for (size_t k = 0; k < n; ++k) {
            const auto column = static_cast<size_t>(ref.indices[b + k]);
            ASSERT_EQ(out[k].term, 1000 + column);
            ASSERT_EQ(out[k].count, expected[ref.columns[column]]);
        }
        // The whole numbers are scaled to the text's token count (doubling
        // every count is exact in binary); a value one unit in the last
        // place off is refused.
        if (n > 0) {
            ASSERT_TRUE(recover_row_counts(ref.data.data() + b, ref.indices.data() + b, n,
                                           ref.idf.data(), term_of_column, 2 * token_total, out));
            for (size_t k = 0; k < n; ++k)
                ASSERT_EQ(out[k].count, 2 * expected[ref.columns[ref.indices[b + k]]]);
            std::vector<double> off(ref.data.begin() + b, ref.data.begin() + b + n);
            off[0] = std::nextafter(off[0], 2.0);
            EXPECT_FALSE(recover_row_counts(off.data(), ref.indices.data() + b, n, ref.idf.data(),
                                            term_of_column, token_total, out));
        }
    }
}

namespace {

// idf by column from the model's document frequencies (smooth idf).
std::vector<double> smooth_idf(const IncrementalTfidf &model) {
    std::vector<double> idf;
    for (double df : model.document_frequencies())
        idf.push_back(std::log((model.row_count() + 1.0) / (df + 1.0)) + 1.0);
    return idf;
}

// The fitted model's rows as a file gives them back: terms in order of
// first sight, their columns, each row's counts in stored order.
IncrementalTfidf taken_over(const IncrementalTfidf &fitted,
                            const std::vector<IncrementalTfidf::DocId> &rows,
                            std::vector<IncrementalTfidf::DocId> &ids) {
    const auto &order = fitted.first_seen_terms();
    std::map<uint32_t, uint32_t> position;
    std::vector<std::u32string_view> terms;
    std::vector<uint32_t> columns;
    for (uint32_t term : order) {
        position[term] = static_cast<uint32_t>(terms.size());
        terms.push_back(fitted.terms().text(term));
        columns.push_back(fitted.column_of(term));
    }
    std::vector<std::vector<TermCount>> counts;
    for (auto id : rows) {
        std::vector<TermCount> row;
        for (const TermCount &tc : fitted.counts(id)) row.push_back({position[tc.term], tc.count});
        std::sort(row.begin(), row.end(),
                  [](const TermCount &a, const TermCount &b) { return a.term < b.term; });
        counts.push_back(row);
    }
    IncrementalTfidf model;
    ids = model.adopt(terms, columns, std::move(counts));
    return model;
}

std::vector<double> scores_of(const IncrementalTfidf &model,
                              const std::vector<std::pair<uint32_t, double>> &query) {
    std::vector<double> scores(model.row_count());
    model.score(query, scores.data());
    return scores;
}

}  // namespace

TEST(IncrementalTfidf, TakenOverModelScoresAsTheFittedOneAfterChanges) {
    // A model taken over from a file gets its postings and its correction
    // index on the first query, after removals and additions made without
    // them, and from several threads querying at once.
    std::mt19937 rng(5);
    IncrementalTfidf fitted;
    std::vector<IncrementalTfidf::DocId> rows;
    for (int d = 0; d < 1000; ++d) {
        const std::u32string text = random_text(rng) + U" common";
        rows.push_back(fitted.add(count_terms(text, ascii_classes(), fitted.terms())));
    }
    fitted.set_rows(rows);
    std::vector<IncrementalTfidf::DocId> ids;
    IncrementalTfidf model = taken_over(fitted, rows, ids);
    // The same change on both: one row replaced, one removed.
    auto change = [](IncrementalTfidf &m, std::vector<IncrementalTfidf::DocId> &r) {
        m.remove(r[7]);
        m.remove(r[200]);
        r.erase(r.begin() + 200);
        r.erase(r.begin() + 7);
        r.push_back(m.add(count_terms(U"alpha common brandnew", ascii_classes(), m.terms())));
        m.set_rows(r);
    };
    change(fitted, rows);
    change(model, ids);
    ASSERT_EQ(model.columns().size(), fitted.columns().size());
    const std::vector<double> idf = smooth_idf(fitted);
    for (IncrementalTfidf *m : {&fitted, &model}) {
        std::vector<double> data(m->nnz());
        std::vector<int32_t> indices(m->nnz()), indptr(m->row_count() + 1);
        m->fill(RowOrder::FirstSeen, idf.data(), data.data(), indices.data(), indptr.data());
    }
    std::vector<uint32_t> every_column(fitted.columns().size());
    for (uint32_t c = 0; c < every_column.size(); ++c) every_column[c] = c;
    const auto query = query_row(every_column, idf.data());
    const std::vector<double> expected = scores_of(fitted, query);
    const std::vector<std::u32string> words = {U"alpa", U"brandneu", U"commn", U"omicrn", U"zzzz"};
    auto matches = [&words](const IncrementalTfidf &m) {
        std::vector<std::u32string> found;
        for (const auto &w : words) {
            auto best = m.matcher().best(w, 0.6);
            found.push_back(best ? std::u32string(m.terms().text(*best)) : U"-");
        }
        return found;
    };
    const std::vector<std::u32string> expected_matches = matches(fitted);
    ASSERT_EQ(expected_matches[1], U"brandnew");
    // Half the threads start with the correction, half with the scores.
    std::vector<std::vector<double>> got(4);
    std::vector<std::vector<std::u32string>> got_matches(4);
    std::vector<std::thread> threads;
    std::atomic<size_t> waiting{got.size()};
    for (size_t k = 0; k < got.size(); ++k)
        threads.emplace_back([&, k] {
            for (--waiting; waiting > 0;) std::this_thread::yield();  // all start together
            if (k % 2) got_matches[k] = matches(model);
            got[k] = scores_of(model, query);
            if (k % 2 == 0) got_matches[k] = matches(model);
        });
    for (auto &t : threads) t.join();
    for (const auto &g : got) ASSERT_EQ(g, expected);
    for (const auto &g : got_matches) ASSERT_EQ(g, expected_matches);
}

TEST(IncrementalTfidf, WeightsAreTheGivenIdfEvenWhereEqualFrequenciesDisagree) {
    // Every term is in one document: the weighting may share one idf per
    // frequency only while the given values agree; here each differs.
    IncrementalTfidf model;
    auto a = model.add(count_terms(U"aa bb bb", ascii_classes(), model.terms()));
    auto b = model.add(count_terms(U"cc dd", ascii_classes(), model.terms()));
    model.set_rows({a, b});
    const std::vector<double> idf = {1.5, 2.0, 3.0, 5.0};  // aa bb cc dd
    std::vector<double> data(model.nnz());
    std::vector<int32_t> indices(model.nnz()), indptr(3);
    model.fill(RowOrder::FirstSeen, idf.data(), data.data(), indices.data(), indptr.data());
    EXPECT_EQ(indices, (std::vector<int32_t>{0, 1, 2, 3}));
    std::vector<double> first = {1.5, 4.0}, second = {3.0, 5.0};
    normalize_l2(first.data(), 2);
    normalize_l2(second.data(), 2);
    EXPECT_EQ(data, (std::vector<double>{first[0], first[1], second[0], second[1]}));
}
