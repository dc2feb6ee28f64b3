// Incremental TF-IDF counting and weighting against the from-scratch fit,
// bit for bit, after every change of a fuzzed history: documents added,
// removed, replaced, rows reordered, misuse refused.
#include <algorithm>
#include <cmath>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "char_class_choice.hpp"
#include "fuzz_support.hpp"
#include "tfidf_reference.hpp"
#include "wrapper_native/tfidf_model.hpp"

using namespace wrapper_native;

namespace {

// Words that recur across documents (so frequencies and first sightings
// interleave), joined by blanks or symbols; sometimes free text.
std::u32string take_document(FuzzedDataProvider &in) {
    static const std::u32string words[] = {
        U"alpha", U"beta", U"gamma", U"x", U"a1", U"_b", U"\u00e7\u00e3o", U"\u4e2d\u6587",
        U"zeta", U"eta", U"Beta", U"mu", U"\u0436\u0443\u043a", U"\U0001F600\U0001F600"};
    if (in.ConsumeIntegralInRange(0, 5) == 0) return fuzz::take_text(in, fuzz::kTextAlphabet, 60);
    std::u32string text;
    for (size_t k = in.ConsumeIntegralInRange<size_t>(0, 12); k > 0; --k) {
        text += in.PickValueInArray(words);
        text += in.PickValueInArray({U' ', U' ', U'-', U'\n', U'.'});
    }
    return text;
}

void check_model(IncrementalTfidf &model, const std::vector<std::u32string> &texts,
                 const CharClasses &cc) {
    const reference::ReferenceFit ref = reference::reference_fit(texts, cc);
    FUZZ_CHECK(model.row_count() == texts.size(), "row count");
    FUZZ_CHECK(model.columns().size() == ref.columns.size(), "vocabulary size");
    for (size_t c = 0; c < ref.columns.size(); ++c) {
        FUZZ_CHECK(model.terms().text(model.columns()[c]) == ref.columns[c], "column order");
        FUZZ_CHECK(model.column_of(model.columns()[c]) == c, "column_of");
    }
    FUZZ_CHECK(model.first_seen_terms().size() == ref.first_seen.size(), "first sightings");
    for (size_t k = 0; k < ref.first_seen.size(); ++k)
        FUZZ_CHECK(model.terms().text(model.first_seen_terms()[k]) == ref.first_seen[k],
                   "order of first sight");
    const std::vector<double> df = model.document_frequencies();
    FUZZ_CHECK(df.size() == ref.idf.size(), "document frequencies");
    for (size_t c = 0; c < df.size(); ++c)
        FUZZ_CHECK(std::log((texts.size() + 1.0) / (df[c] + 1.0)) + 1.0 == ref.idf[c], "idf");

    std::vector<double> data(model.nnz());
    std::vector<int32_t> indices(model.nnz()), indptr(model.row_count() + 1);
    model.fill(RowOrder::FirstSeen, ref.idf.data(), data.data(), indices.data(), indptr.data());
    FUZZ_CHECK(indptr == ref.indptr, "indptr");
    FUZZ_CHECK(indices == ref.indices, "indices");
    FUZZ_CHECK(data == ref.data, "values");  // same operations in the same order

    // Column order (what transform gives): each row's entries sorted by
    // column, normalised in that order.
    std::vector<double> wide_data(model.nnz());
    std::vector<int64_t> wide_indices(model.nnz()), wide_indptr(model.row_count() + 1);
    model.fill(RowOrder::Column, ref.idf.data(), wide_data.data(), wide_indices.data(),
               wide_indptr.data());
    for (size_t r = 0; r < texts.size(); ++r) {
        const auto b = static_cast<size_t>(ref.indptr[r]);
        const auto e = static_cast<size_t>(ref.indptr[r + 1]);
        FUZZ_CHECK(wide_indptr[r + 1] == static_cast<int64_t>(e), "indptr (column order)");
        std::vector<std::pair<int32_t, double>> row;
        for (size_t k = b; k < e; ++k) {
            const int32_t c = ref.indices[k];
            int count = 0;
            for (const auto &t : reference::word_tokens(texts[r], cc)) count += t == ref.columns[c];
            row.emplace_back(c, count * ref.idf[c]);
        }
        std::sort(row.begin(), row.end());
        double sum = 0;
        for (const auto &entry : row) sum += entry.second * entry.second;
        for (size_t k = 0; k < row.size(); ++k) {
            const double value = sum != 0.0 ? row[k].second / std::sqrt(sum) : row[k].second;
            FUZZ_CHECK(wide_indices[b + k] == row[k].first, "indices (column order)");
            FUZZ_CHECK(wide_data[b + k] == value, "values (column order)");
        }
    }
}

// The term table through its growth: thousands of terms, many sharing
// prefixes and hash-table neighbourhoods, interned in a fuzzed order with
// repeats; ids stay those of first sight and every text comes back.
void check_term_table(FuzzedDataProvider &in) {
    const std::u32string stem = fuzz::take_text(in, U"ab\u00e7\u4e2d_", 6);
    const size_t distinct = in.ConsumeIntegralInRange<size_t>(1, 3000);
    const size_t lookups = in.ConsumeIntegralInRange<size_t>(0, 3000);
    const uint32_t step = in.ConsumeIntegralInRange<uint32_t>(1, 97);
    auto term_number = [&](size_t k) {
        std::u32string t = stem;
        for (size_t v = k; ; v /= 7) {  // the number in base 7 over a few letters
            t.push_back(U"xyz\u00e0\U0001F600_9"[v % 7]);
            if (v < 7) break;
        }
        return t;
    };
    TermTable table;
    std::map<std::u32string, uint32_t> ids;
    for (size_t k = 0; k < lookups + distinct; ++k) {
        const std::u32string term =
            term_number(k < distinct ? k : (k * step) % distinct);
        const auto [it, fresh] = ids.emplace(term, static_cast<uint32_t>(ids.size()));
        FUZZ_CHECK(table.find(term) == (fresh ? TermTable::kMissing : it->second), "find");
        FUZZ_CHECK(table.intern(term) == it->second, "intern");
    }
    FUZZ_CHECK(table.size() == ids.size(), "table size");
    for (const auto &[term, id] : ids) FUZZ_CHECK(table.text(id) == term, "term text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    if (in.ConsumeIntegralInRange(0, 7) == 0) {
        check_term_table(in);
        return 0;
    }
    const CharClasses &cc = fuzz::pick_classes(in);
    IncrementalTfidf model;
    // Live documents in row order.
    std::vector<std::pair<IncrementalTfidf::DocId, std::u32string>> docs;
    std::vector<IncrementalTfidf::DocId> removed;
    for (size_t step = in.ConsumeIntegralInRange<size_t>(1, 24); step > 0; --step) {
        switch (in.ConsumeIntegralInRange(0, 5)) {
            case 0:
            case 1: {  // a new document, last
                std::u32string text = take_document(in);
                docs.emplace_back(model.add(count_terms(text, cc, model.terms())), std::move(text));
                break;
            }
            case 2:  // a document leaves (and may come back last: a replacement)
                if (!docs.empty()) {
                    const size_t k = in.ConsumeIntegralInRange<size_t>(0, docs.size() - 1);
                    model.remove(docs[k].first);
                    removed.push_back(docs[k].first);
                    std::u32string text = std::move(docs[k].second);
                    docs.erase(docs.begin() + static_cast<std::ptrdiff_t>(k));
                    if (in.ConsumeBool()) {
                        if (in.ConsumeBool()) text = take_document(in);
                        docs.emplace_back(model.add(count_terms(text, cc, model.terms())),
                                          std::move(text));
                    }
                }
                break;
            case 3:  // rows in another order
                for (size_t k = docs.size(); k > 1; --k)
                    std::swap(docs[k - 1], docs[in.ConsumeIntegralInRange<size_t>(0, k - 1)]);
                break;
            case 4: {  // misuse: a stale id, or rows missing a document
                bool refused = false;
                try {
                    const bool stale = !removed.empty() && in.ConsumeBool();
                    auto holds_it = [&](const auto &d) { return d.first == removed.back(); };
                    const bool reused = stale && std::any_of(docs.begin(), docs.end(), holds_it);
                    if (stale && !reused) {
                        model.remove(removed.back());
                    } else if (!docs.empty()) {
                        std::vector<IncrementalTfidf::DocId> rows;
                        for (size_t k = 1; k < docs.size(); ++k) rows.push_back(docs[k].first);
                        model.set_rows(rows);
                    } else {
                        refused = true;
                    }
                } catch (const std::logic_error &) {
                    refused = true;
                }
                FUZZ_CHECK(refused, "misuse accepted");
                break;
            }
            default:
                break;
        }
        std::vector<IncrementalTfidf::DocId> rows;
        std::vector<std::u32string> texts;
        for (const auto &[id, text] : docs) {
            rows.push_back(id);
            texts.push_back(text);
        }
        model.set_rows(rows);
        check_model(model, texts, cc);
    }
    return 0;
}
