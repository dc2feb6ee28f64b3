// What every fuzz target shares: turning fuzz bytes into text and numbers,
// and stopping loudly when a kernel and its reference disagree.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// A disagreement or a broken invariant is a crash, so libFuzzer keeps the
// input that caused it.
#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #condition, \
                         std::string(what).c_str());                                               \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

// Iterations of the dense PageRank references: the error left after k of
// them is below 2 * 0.85^k, here 1e-28, far under what the checks allow,
// and a fuzz input runs in a fraction of the tests' 3000.
inline constexpr int kPagerankIterations = 400;

// Text of at most `max_length` code points. Most bytes pick a character
// from `alphabet` (chosen per kernel to reach its branches); a byte of 0xFF
// takes the next three bytes as any code point, so the rest of Unicode
// (and values past it) still turn up; a byte of 0xFE repeats the last few
// characters, so that short inputs can make long texts.
inline std::u32string take_text(FuzzedDataProvider &in, std::u32string_view alphabet,
                                size_t max_length) {
    const size_t length = in.ConsumeIntegralInRange<size_t>(0, max_length);
    std::u32string text;
    while (text.size() < length && in.remaining_bytes() > 0) {
        const uint8_t pick = in.ConsumeIntegral<uint8_t>();
        if (pick == 0xFF) {
            text.push_back(static_cast<char32_t>(in.ConsumeIntegralInRange<uint32_t>(0, 0x10FFFF)));
        } else if (pick == 0xFE && !text.empty()) {
            const size_t span =
                std::min<size_t>(text.size(), in.ConsumeIntegralInRange<size_t>(1, 8));
            const std::u32string tail = text.substr(text.size() - span);
            for (size_t times = in.ConsumeIntegralInRange<size_t>(1, 64); times > 0; --times)
                text += tail;
        } else {
            text.push_back(alphabet[pick % alphabet.size()]);
        }
    }
    if (text.size() > length) text.resize(length);
    return text;
}

// For messages: the text as UTF-32 code point numbers.
inline std::string describe(std::u32string_view text) {
    std::string out;
    for (char32_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char buffer[16];
            std::snprintf(buffer, sizeof buffer, "\\u{%X}", static_cast<unsigned>(c));
            out += buffer;
        }
    }
    return out;
}

}  // namespace fuzz
