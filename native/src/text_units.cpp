#include "wrapper_native/text_units.hpp"

#include <algorithm>

namespace wrapper_native {
namespace {

bool is_combining(char32_t c) { return c >= 0x300 && c <= 0x36F; }

bool ends_with(std::u32string_view word, std::u32string_view suffix) {
    return word.size() >= suffix.size() &&
           word.substr(word.size() - suffix.size()) == suffix;
}

std::u32string replace_suffix(std::u32string_view word, size_t drop,
                              std::u32string_view add) {
    std::u32string out(word.substr(0, word.size() - drop));
    out += add;
    return out;
}

// Base letter of a lower-case Latin-1 or Latin Extended-A letter; 0 if none.
char32_t base_letter(char32_t c) {
    struct Range {
        char32_t lo, hi;
        char base;
    };
    static const Range kRanges[] = {
        {0xE0, 0xE5, 'a'},   {0xE7, 0xE7, 'c'},   {0xE8, 0xEB, 'e'},   {0xEC, 0xEF, 'i'},
        {0xF1, 0xF1, 'n'},   {0xF2, 0xF6, 'o'},   {0xF8, 0xF8, 'o'},   {0xF9, 0xFC, 'u'},
        {0xFD, 0xFD, 'y'},   {0xFF, 0xFF, 'y'},   {0x100, 0x105, 'a'}, {0x106, 0x10D, 'c'},
        {0x10E, 0x111, 'd'}, {0x112, 0x11B, 'e'}, {0x11C, 0x123, 'g'}, {0x124, 0x127, 'h'},
        {0x128, 0x131, 'i'}, {0x134, 0x135, 'j'}, {0x136, 0x138, 'k'}, {0x139, 0x142, 'l'},
        {0x143, 0x14B, 'n'}, {0x14C, 0x151, 'o'}, {0x154, 0x159, 'r'}, {0x15A, 0x161, 's'},
        {0x162, 0x167, 't'}, {0x168, 0x173, 'u'}, {0x174, 0x175, 'w'}, {0x176, 0x178, 'y'},
        {0x179, 0x17E, 'z'}, {0x17F, 0x17F, 's'},
    };
    if (c < 0xE0 || c > 0x17F) return 0;
    for (const Range &r : kRanges)
        if (c >= r.lo && c <= r.hi) return static_cast<char32_t>(r.base);
    return 0;
}

bool is_terminal(char32_t c) { return c == U'.' || c == U'!' || c == U'?' || c == U'…'; }

bool is_closer(char32_t c) {
    return c == U'"' || c == U'\'' || c == U'”' || c == U'’' || c == U'»' ||
           c == U')' || c == U']';
}

bool opens_sentence(char32_t c) {
    if (to_lower(c) != c) return true;  // an upper-case letter
    if (c >= U'0' && c <= U'9') return true;
    switch (c) {
        case U'"': case U'“': case U'«': case U'\'': case U'‘': case U'(':
        case U'[': case U'¿': case U'¡': case U'—': case U'–': case U'-': case U'•':
            return true;
        default:
            return false;
    }
}

bool is_newline(char32_t c) { return c == U'\n' || c == 0x2029; }

TextSpan trimmed(std::u32string_view text, size_t begin, size_t end,
                 const CharClasses &cc) {
    while (begin < end && cc.is_space(text[begin])) ++begin;
    while (end > begin && cc.is_space(text[end - 1])) --end;
    return {begin, end};
}

}  // namespace

std::optional<TextLanguage> text_language_from_name(std::string_view name) {
    if (name == "portuguese") return TextLanguage::Portuguese;
    if (name == "english") return TextLanguage::English;
    if (name == "spanish") return TextLanguage::Spanish;
    return std::nullopt;
}

char32_t to_lower(char32_t c) {
    if (c < 0x80) return (c >= U'A' && c <= U'Z') ? c + 32 : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x130) return U'i';
        if (c == 0x178) return 0xFF;
        const bool even_upper = (c <= 0x12F) || (c >= 0x132 && c <= 0x137) ||
                                (c >= 0x14A && c <= 0x177);
        const bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (even_upper && c % 2 == 0) return c + 1;
        if (odd_upper && c % 2 == 1) return c + 1;
        return c;
    }
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return c + 37;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return c + 63;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

std::u32string to_lower(std::u32string_view word) {
    std::u32string out(word);
    for (char32_t &c : out) c = to_lower(c);
    return out;
}

std::u32string fold(std::u32string_view word) {
    std::u32string out;
    out.reserve(word.size());
    for (char32_t c : word) {
        if (is_combining(c)) continue;
        c = to_lower(c);
        const char32_t base = base_letter(c);
        out.push_back(base ? base : c);
    }
    return out;
}

std::u32string lemmatize_word(std::u32string_view w, TextLanguage language) {
    if (w.size() <= 3) return std::u32string(w);
    if (language == TextLanguage::English) {
        if (ends_with(w, U"ies") && w.size() > 4) return replace_suffix(w, 3, U"y");
        if (ends_with(w, U"sses")) return replace_suffix(w, 2, U"");
        if (ends_with(w, U"ss") || ends_with(w, U"us") || ends_with(w, U"is"))
            return std::u32string(w);
        if (ends_with(w, U"s")) return replace_suffix(w, 1, U"");
        return std::u32string(w);
    }
    if (language == TextLanguage::Spanish) {
        if (ends_with(w, U"ces")) return replace_suffix(w, 3, U"z");
        if (ends_with(w, U"iones")) return replace_suffix(w, 2, U"");
        if (ends_with(w, U"es") && w.size() > 4) {
            const char32_t before = w[w.size() - 3];
            if (std::u32string_view(U"rlndzj").find(before) != std::u32string_view::npos)
                return replace_suffix(w, 2, U"");
        }
        if (ends_with(w, U"s") && !ends_with(w, U"ss") && !ends_with(w, U"us") &&
            !ends_with(w, U"is"))
            return replace_suffix(w, 1, U"");
        return std::u32string(w);
    }
    // Portuguese. Words of four letters ending like a plural are often
    // singular words of their own ("pais", "leis", "mais"): left alone.
    if (ends_with(w, U"oes") || ends_with(w, U"aes")) return replace_suffix(w, 3, U"ao");
    if (ends_with(w, U"aos")) return replace_suffix(w, 1, U"");
    if (w.size() > 4) {
        if (ends_with(w, U"ais")) return replace_suffix(w, 2, U"l");
        if (ends_with(w, U"eis")) return replace_suffix(w, 2, U"l");
        if (ends_with(w, U"ois")) return replace_suffix(w, 2, U"l");
        if (ends_with(w, U"sses")) return replace_suffix(w, 1, U"");
        if (ends_with(w, U"res") || ends_with(w, U"zes") || ends_with(w, U"eses"))
            return replace_suffix(w, 2, U"");
    }
    if (ends_with(w, U"ns")) return replace_suffix(w, 2, U"m");
    if (ends_with(w, U"s") && !ends_with(w, U"ss") && !ends_with(w, U"us") &&
        !ends_with(w, U"is"))
        return replace_suffix(w, 1, U"");
    return std::u32string(w);
}

std::vector<TextSpan> split_sentences(std::u32string_view text, TextLanguage language,
                                      const CharClasses &cc) {
    std::vector<TextSpan> out;
    const size_t n = text.size();
    size_t start = 0;
    auto close = [&](size_t end, size_t next_start) {
        TextSpan s = trimmed(text, start, end, cc);
        bool has_word = false;
        for (size_t k = s.begin; k < s.end && !has_word; ++k) has_word = cc.is_word(text[k]);
        if (has_word) out.push_back(s);
        start = next_start;
    };
    size_t i = 0;
    while (i < n) {
        const char32_t c = text[i];
        if (is_newline(c)) {
            // A blank line: two line breaks within one run of white space.
            size_t j = i + 1, breaks = 1;
            while (j < n && cc.is_space(text[j])) breaks += is_newline(text[j++]);
            if (breaks >= 2) close(i, j);
            i = j;
            continue;
        }
        if (!is_terminal(c)) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < n && is_terminal(text[j])) ++j;
        const bool single_period = c == U'.' && j == i + 1;
        while (j < n && is_closer(text[j])) ++j;
        if (j < n && !cc.is_space(text[j])) {  // "3.5", "site.com", "?!x"
            i = j;
            continue;
        }
        size_t k = j;
        while (k < n && cc.is_space(text[k])) ++k;
        bool boundary = k == n || opens_sentence(text[k]);
        if (boundary && single_period) {
            size_t w = i;
            while (w > start && cc.is_word(text[w - 1])) --w;
            const std::u32string word = fold(text.substr(w, i - w));
            if (word.size() == 1 && to_lower(text[w]) != text[w]) boundary = false;  // initial
            if (!word.empty() && is_abbreviation(word, language)) boundary = false;
        }
        if (boundary) close(j, j);
        i = j;
    }
    close(n, n);
    return out;
}

std::vector<WordToken> split_words(std::u32string_view text, TextSpan within,
                                   const CharClasses &cc) {
    std::vector<WordToken> out;
    auto wordish = [&](size_t k) {
        return k < within.end && (cc.is_word(text[k]) || is_combining(text[k]));
    };
    bool gap = true;  // the start of the span is a break
    size_t i = within.begin;
    while (i < within.end) {
        if (!cc.is_word(text[i])) {
            if (!cc.is_space(text[i])) gap = true;
            ++i;
            continue;
        }
        const size_t begin = i;
        while (i < within.end) {
            if (wordish(i)) {
                ++i;
            } else if ((text[i] == U'-' || text[i] == U'\'' || text[i] == U'’') &&
                       cc.is_word(text[i - 1]) && i + 1 < within.end &&
                       cc.is_word(text[i + 1])) {
                ++i;
            } else {
                break;
            }
        }
        out.push_back({{begin, i}, gap});
        gap = false;
    }
    return out;
}

std::u32string collapse_spaces(std::u32string_view text, TextSpan span,
                               const CharClasses &cc) {
    std::u32string out;
    out.reserve(span.end - span.begin);
    bool in_space = false;
    for (size_t k = span.begin; k < span.end; ++k) {
        if (cc.is_space(text[k])) {
            in_space = true;
            continue;
        }
        if (in_space && !out.empty()) out.push_back(U' ');
        in_space = false;
        out.push_back(text[k]);
    }
    return out;
}

}  // namespace wrapper_native
