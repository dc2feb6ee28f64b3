#include "wrapper_native/summarizer.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <unordered_map>

#include "wrapper_native/textrank.hpp"

namespace wrapper_native {
namespace {

// Words shorter than this say little on their own ("rs", "km").
constexpr size_t kMinKeywordLength = 3;

bool has_letter(std::u32string_view folded, const CharClasses &cc) {
    for (char32_t c : folded)
        if (cc.is_word(c) && c != U'_' && !(c >= U'0' && c <= U'9')) return true;
    return false;
}

// Key of a content word, or empty for a word that carries no content.
std::u32string content_key(std::u32string_view surface, bool lemmatize,
                           TextLanguage language, const CharClasses &cc) {
    std::u32string folded = fold(surface);
    if (folded.size() < kMinKeywordLength || !has_letter(folded, cc) ||
        is_stop_word(folded, language))
        return {};
    return lemmatize ? lemmatize_word(folded, language) : folded;
}

class Vocabulary {
public:
    size_t id(const std::u32string &key) {
        auto [it, added] = ids_.try_emplace(key, ids_.size());
        return it->second;
    }
    size_t size() const { return ids_.size(); }

private:
    std::unordered_map<std::u32string, size_t> ids_;
};

}  // namespace

std::vector<std::u32string> summarize_text(std::u32string_view text,
                                           const SummaryOptions &options,
                                           const CharClasses &cc) {
    const std::vector<TextSpan> sentences = split_sentences(text, options.language, cc);
    Vocabulary vocabulary;
    std::vector<std::vector<std::pair<size_t, size_t>>> counts(sentences.size());
    std::vector<size_t> word_counts(sentences.size(), 0);
    for (size_t s = 0; s < sentences.size(); ++s) {
        std::map<size_t, size_t> tf;
        for (const WordToken &w : split_words(text, sentences[s], cc)) {
            ++word_counts[s];
            const std::u32string key = content_key(
                text.substr(w.span.begin, w.span.end - w.span.begin), true,
                options.language, cc);
            if (!key.empty()) ++tf[vocabulary.id(key)];
        }
        counts[s].assign(tf.begin(), tf.end());
    }
    // tf-idf weights; a term found in every sentence still weighs its tf.
    std::vector<size_t> df(vocabulary.size(), 0);
    for (const auto &c : counts)
        for (const auto &[t, n] : c) ++df[t];
    const double total = static_cast<double>(sentences.size());
    std::vector<TermVector> vectors(sentences.size());
    for (size_t s = 0; s < sentences.size(); ++s)
        for (const auto &[t, n] : counts[s])
            vectors[s].emplace_back(
                t, static_cast<double>(n) * (1.0 + std::log(total / static_cast<double>(df[t]))));

    const std::vector<double> scores = rank_by_similarity(vectors, vocabulary.size());
    std::vector<std::u32string> out;
    for (size_t s : select_sentences(scores, word_counts, options.ratio, options.word_count))
        out.push_back(collapse_spaces(text, sentences[s], cc));
    return out;
}

std::vector<Keyword> extract_keywords(std::u32string_view text,
                                      const KeywordOptions &options,
                                      const CharClasses &cc) {
    struct Occurrence {
        size_t node;         // or npos for a word without content
        std::u32string lower;
        bool joined;         // stands right after the previous word
    };
    constexpr size_t npos = static_cast<size_t>(-1);
    Vocabulary vocabulary;
    std::vector<std::vector<Occurrence>> sentences;
    for (const TextSpan &span : split_sentences(text, options.language, cc)) {
        std::vector<Occurrence> words;
        for (const WordToken &w : split_words(text, span, cc)) {
            const std::u32string_view surface =
                text.substr(w.span.begin, w.span.end - w.span.begin);
            const std::u32string key =
                content_key(surface, options.lemmatize, options.language, cc);
            words.push_back({key.empty() ? npos : vocabulary.id(key), to_lower(surface),
                             !w.follows_gap});
        }
        sentences.push_back(std::move(words));
    }
    const size_t nodes = vocabulary.size();

    // Co-occurrence graph: content words next to each other once stop words
    // are set aside, within a sentence.
    std::map<std::pair<size_t, size_t>, double> edge_weights;
    // Written forms per node: how often, and where first seen.
    std::vector<std::map<std::u32string, std::pair<size_t, size_t>>> forms(nodes);
    size_t position = 0;
    for (const auto &words : sentences) {
        size_t previous = npos;
        for (const Occurrence &o : words) {
            ++position;
            if (o.node == npos) continue;
            auto &form = forms[o.node][o.lower];
            if (form.first++ == 0) form.second = position;
            if (previous != npos && previous != o.node)
                edge_weights[{std::min(previous, o.node), std::max(previous, o.node)}] += 1;
            previous = o.node;
        }
    }
    WeightedAdjacency graph(nodes);
    for (const auto &[edge, w] : edge_weights) {
        graph[edge.first].emplace_back(edge.second, w);
        graph[edge.second].emplace_back(edge.first, w);
    }
    const std::vector<double> scores = pagerank(graph);

    // The written form of a node: its most frequent, then its earliest.
    std::vector<std::u32string> surface(nodes);
    std::vector<size_t> first_seen(nodes, npos);
    for (size_t v = 0; v < nodes; ++v) {
        size_t best_count = 0, best_seen = npos;
        for (const auto &[text_form, seen] : forms[v]) {
            first_seen[v] = std::min(first_seen[v], seen.second);
            if (seen.first > best_count || (seen.first == best_count && seen.second < best_seen)) {
                best_count = seen.first;
                best_seen = seen.second;
                surface[v] = text_form;
            }
        }
    }
    // Best first; equal scores go to the word met first.
    std::vector<size_t> order(nodes);
    for (size_t v = 0; v < nodes; ++v) order[v] = v;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (scores[a] != scores[b]) return scores[a] > scores[b];
        return first_seen[a] < first_seen[b];
    });
    const size_t wanted =
        std::min(nodes, options.words ? *options.words : ratio_count(nodes, options.ratio));
    order.resize(wanted);
    std::vector<bool> top(nodes, false);
    for (size_t v : order) top[v] = true;

    // Phrases: two or three top words written side by side, seen twice or more.
    struct Phrase {
        size_t count = 0;
        size_t first = 0;
        std::u32string text;
    };
    std::map<std::vector<size_t>, Phrase> phrases;
    size_t run_index = 0;
    for (const auto &words : sentences) {
        size_t i = 0;
        while (i < words.size()) {
            if (words[i].node == npos || !top[words[i].node]) {
                ++i;
                continue;
            }
            size_t j = i + 1;
            while (j < words.size() && words[j].joined && words[j].node != npos &&
                   top[words[j].node])
                ++j;
            std::vector<size_t> members;
            for (size_t k = i; k < j; ++k) members.push_back(words[k].node);
            std::vector<size_t> distinct(members);
            std::sort(distinct.begin(), distinct.end());
            const bool repeats =
                std::adjacent_find(distinct.begin(), distinct.end()) != distinct.end();
            if (members.size() >= 2 && members.size() <= 3 && !repeats) {
                Phrase &p = phrases[members];
                if (p.count++ == 0) {
                    p.first = run_index;
                    for (size_t k = i; k < j; ++k) {
                        if (k > i) p.text.push_back(U' ');
                        p.text += words[k].lower;
                    }
                }
            }
            ++run_index;
            i = j;
        }
    }

    std::vector<Keyword> out;
    std::vector<bool> used(nodes, false);
    for (size_t v : order) {
        if (used[v]) continue;
        const Phrase *best = nullptr;
        const std::vector<size_t> *best_members = nullptr;
        for (const auto &[members, p] : phrases) {
            if (p.count < 2 || std::find(members.begin(), members.end(), v) == members.end())
                continue;
            bool free = true;
            for (size_t m : members) free = free && !used[m];
            if (!free) continue;
            if (!best || p.count > best->count ||
                (p.count == best->count && p.first < best->first)) {
                best = &p;
                best_members = &members;
            }
        }
        if (best) {
            for (size_t m : *best_members) used[m] = true;
            out.push_back({best->text, scores[v]});
        } else {
            used[v] = true;
            out.push_back({surface[v], scores[v]});
        }
    }
    return out;
}

}  // namespace wrapper_native
