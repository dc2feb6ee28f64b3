// The abstract generator: summaries and keywords checked against a plain
// pipeline built from the same sentence and word units (tf-idf sentence
// vectors, the similarity graph and the co-occurrence graph written out
// densely, PageRank iterated to the end), and for the invariants every
// result must keep whatever the options (odd ratios, budgets, counts).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "char_class_choice.hpp"
#include "fuzz_support.hpp"
#include "pagerank_reference.hpp"
#include "wrapper_native/summarizer.hpp"
#include "wrapper_native/textrank.hpp"

using namespace wrapper_native;

namespace {

constexpr double kTolerance = 1e-9;

// Text made of words that repeat (content words, plurals, stop words,
// abbreviations, accents in either case) and the punctuation that splits
// sentences, with now and then any character at all.
std::u32string take_text(FuzzedDataProvider &in) {
    static const std::u32string words[] = {
        U"reforma", U"Reforma", U"tribut\u00e1ria", U"TRIBUT\u00c1RIA", U"impostos", U"imposto",
        U"elei\u00e7\u00f5es", U"elei\u00e7\u00e3o", U"governo", U"o", U"a", U"de", U"que",
        U"the", U"cities", U"city", U"Sr", U"Dr", U"J", U"3", U"rs", U"guarda-chuva",
        U"d'\u00e1gua", U"_x", U"a\u0301gua", U"ciudades", U"veces", U"\u0416\u0443\u043a"};
    static const std::u32string gaps[] = {U" ", U" ", U" ", U". ", U"! ", U"? ", U", ",
                                          U"\n\n", U"\u2026 ", U".\" ", U" (", U") ", U"\n"};
    std::u32string text;
    for (size_t k = in.ConsumeIntegralInRange<size_t>(0, 120); k > 0 && in.remaining_bytes(); --k) {
        switch (in.ConsumeIntegralInRange(0, 7)) {
            case 0: text += in.PickValueInArray(gaps); break;
            case 1: text.push_back(fuzz::kTextAlphabet[in.ConsumeIntegralInRange<size_t>(
                        0, fuzz::kTextAlphabet.size() - 1)]);
                break;
            default:
                text += in.PickValueInArray(words);
                text += U' ';
                break;
        }
    }
    return text;
}

bool has_letter(std::u32string_view folded, const CharClasses &cc) {
    for (char32_t c : folded)
        if (cc.is_word(c) && c != U'_' && !(c >= U'0' && c <= U'9')) return true;
    return false;
}

// The key a word is counted under, or empty for a word without content.
std::u32string content_key(std::u32string_view surface, bool lemmatize, TextLanguage language,
                           const CharClasses &cc) {
    const std::u32string folded = fold(surface);
    if (folded.size() < 3 || !has_letter(folded, cc) || is_stop_word(folded, language)) return {};
    return lemmatize ? lemmatize_word(folded, language) : folded;
}

double take_ratio(FuzzedDataProvider &in) {
    return in.ConsumeBool()
               ? in.PickValueInArray({0.2, 0.5, 1.0, 0.0, -0.3, 3.0, 1e300,
                                      std::numeric_limits<double>::infinity(),
                                      std::numeric_limits<double>::quiet_NaN()})
               : in.ConsumeProbability<double>();
}

void check_summary(std::u32string_view text, const SummaryOptions &options, const CharClasses &cc,
                   const std::string &what) {
    const std::vector<std::u32string> summary = summarize_text(text, options, cc);
    const std::vector<TextSpan> spans = split_sentences(text, options.language, cc);
    const size_t n = spans.size();

    // The plain pipeline: tf-idf sentence vectors, dense graph, PageRank.
    std::map<std::u32string, size_t> ids;
    std::vector<std::map<size_t, double>> tf(n);
    std::vector<size_t> word_counts(n, 0);
    for (size_t s = 0; s < n; ++s) {
        for (const WordToken &w : split_words(text, spans[s], cc)) {
            ++word_counts[s];
            const std::u32string key = content_key(
                text.substr(w.span.begin, w.span.end - w.span.begin), true, options.language, cc);
            if (key.empty()) continue;
            const size_t id = ids.emplace(key, ids.size()).first->second;
            tf[s][id] += 1;
        }
    }
    std::vector<double> df(ids.size(), 0);
    for (const auto &row : tf)
        for (const auto &[t, count] : row) df[t] += 1;
    std::vector<TermVector> vectors(n);
    for (size_t s = 0; s < n; ++s)
        for (const auto &[t, count] : tf[s])
            vectors[s].emplace_back(t, count * (1.0 + std::log(static_cast<double>(n) / df[t])));
    const std::vector<double> scores =
        n ? reference::dense_pagerank(reference::cosine_graph(vectors, ids.size()), kDamping,
                                    fuzz::kPagerankIterations)
          : std::vector<double>{};

    // Which sentences the summary holds: each is a sentence with its blanks
    // collapsed, in text order, none twice.
    std::vector<size_t> chosen;
    size_t next = 0;
    for (const std::u32string &sentence : summary) {
        while (next < n && collapse_spaces(text, spans[next], cc) != sentence) ++next;
        FUZZ_CHECK(next < n, "a summary sentence that is no sentence of the text: " + what);
        chosen.push_back(next++);
    }
    std::vector<bool> in_summary(n, false);
    for (size_t s : chosen) in_summary[s] = true;

    if (!options.word_count) {
        FUZZ_CHECK(chosen.size() == ratio_count(n, options.ratio), "summary length: " + what);
        // Best first: nothing left out ranks clearly above what was kept.
        double lowest_kept = INFINITY, highest_left = -INFINITY;
        for (size_t s = 0; s < n; ++s) {
            if (in_summary[s])
                lowest_kept = std::min(lowest_kept, scores[s]);
            else
                highest_left = std::max(highest_left, scores[s]);
        }
        FUZZ_CHECK(lowest_kept >= highest_left - kTolerance, "a better sentence left out: " + what);
        return;
    }
    const double budget = static_cast<double>(*options.word_count);
    double total = 0;
    for (size_t s : chosen) total += static_cast<double>(word_counts[s]);
    FUZZ_CHECK(std::fabs(budget - total) <= budget,
               "farther from the budget than nothing: " + what);
    // With the ranking beyond doubt, the greedy choice is determined.
    std::vector<double> sorted(scores);
    std::sort(sorted.begin(), sorted.end());
    bool clear = true;
    for (size_t k = 1; k < sorted.size(); ++k) clear = clear && sorted[k] - sorted[k - 1] > 1e-7;
    if (clear && *options.word_count <= (size_t{1} << 40))
        FUZZ_CHECK(chosen == reference::greedy_selection(scores, word_counts, *options.word_count),
                   "budget selection: " + what);
}

void check_keywords(std::u32string_view text, const KeywordOptions &options, const CharClasses &cc,
                    const std::string &what) {
    const std::vector<Keyword> keywords = extract_keywords(text, options, cc);

    // The co-occurrence graph written densely: content words next to each
    // other once the others are set aside, within a sentence.
    std::map<std::u32string, size_t> ids;
    std::set<std::u32string> lowered_words;
    std::vector<std::pair<size_t, size_t>> edges;
    for (const TextSpan &span : split_sentences(text, options.language, cc)) {
        std::optional<size_t> previous;
        for (const WordToken &w : split_words(text, span, cc)) {
            const std::u32string_view surface =
                text.substr(w.span.begin, w.span.end - w.span.begin);
            lowered_words.insert(to_lower(surface));
            const std::u32string key =
                content_key(surface, options.lemmatize, options.language, cc);
            if (key.empty()) continue;
            const size_t id = ids.emplace(key, ids.size()).first->second;
            if (previous && *previous != id) edges.emplace_back(*previous, id);
            previous = id;
        }
    }
    const size_t nodes = ids.size();
    reference::Dense weights(nodes, std::vector<double>(nodes, 0));
    for (const auto &[a, b] : edges) {
        weights[a][b] += 1;
        weights[b][a] += 1;
    }
    const std::vector<double> scores =
        nodes ? reference::dense_pagerank(weights, kDamping, fuzz::kPagerankIterations)
              : std::vector<double>{};

    const size_t wanted =
        std::min(nodes, options.words ? *options.words : ratio_count(nodes, options.ratio));
    std::set<std::u32string> texts;
    std::vector<bool> covered(nodes, false);
    size_t parts = 0;
    for (size_t k = 0; k < keywords.size(); ++k) {
        const Keyword &kw = keywords[k];
        FUZZ_CHECK(texts.insert(kw.text).second, "a keyword twice: " + what);
        if (k > 0) FUZZ_CHECK(keywords[k - 1].score >= kw.score, "keywords out of order: " + what);
        // A keyword is one word or a phrase of two or three, each word as
        // written (lower case), its score that of one of its words.
        std::vector<std::u32string> words(1);
        for (char32_t c : kw.text) {
            if (c == U' ')
                words.emplace_back();
            else
                words.back().push_back(c);
        }
        FUZZ_CHECK(words.size() <= 3, "a phrase of more than three words: " + what);
        bool score_found = false;
        for (const auto &word : words) {
            FUZZ_CHECK(lowered_words.count(word), "a keyword word not in the text: " + what);
            const auto it = ids.find(content_key(word, options.lemmatize, options.language, cc));
            FUZZ_CHECK(it != ids.end(), "a keyword word without content: " + what);
            FUZZ_CHECK(!covered[it->second], "a word in two keywords: " + what);
            covered[it->second] = true;
            score_found = score_found || std::fabs(scores[it->second] - kw.score) <= kTolerance;
            ++parts;
        }
        FUZZ_CHECK(score_found, "a keyword score that is none of its words': " + what);
    }
    FUZZ_CHECK(parts == wanted, "keywords cover another number of words: " + what);
    double lowest_kept = INFINITY, highest_left = -INFINITY;
    for (size_t v = 0; v < nodes; ++v) {
        if (covered[v])
            lowest_kept = std::min(lowest_kept, scores[v]);
        else
            highest_left = std::max(highest_left, scores[v]);
    }
    FUZZ_CHECK(lowest_kept >= highest_left - kTolerance, "a better word left out: " + what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const CharClasses &cc = fuzz::pick_classes(in);
    const TextLanguage language = in.PickValueInArray(
        {TextLanguage::Portuguese, TextLanguage::English, TextLanguage::Spanish});
    const bool keywords = in.ConsumeBool();
    const double ratio = take_ratio(in);
    std::optional<size_t> count;
    if (in.ConsumeBool())
        count = in.ConsumeBool() ? in.ConsumeIntegralInRange<size_t>(0, 60)
                                 : in.PickValueInArray<size_t>({0, 1, 1000000, SIZE_MAX});
    const bool lemmatize = in.ConsumeBool();
    const std::u32string text = take_text(in);
    const std::string what = fuzz::describe(text);

    if (keywords) {
        KeywordOptions options;
        options.ratio = ratio;
        options.words = count;
        options.lemmatize = lemmatize;
        options.language = language;
        check_keywords(text, options, cc, what);
    } else {
        SummaryOptions options;
        options.ratio = ratio;
        options.word_count = count;
        options.language = language;
        check_summary(text, options, cc, what);
    }
    return 0;
}
