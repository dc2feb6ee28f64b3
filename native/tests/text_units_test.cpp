#include <gtest/gtest.h>

#include "latin_classes.hpp"
#include "wrapper_native/text_units.hpp"

using namespace wrapper_native;
using test_support::latin_classes;

namespace {

std::vector<std::u32string> sentences(std::u32string_view text,
                                      TextLanguage language = TextLanguage::Portuguese) {
    std::vector<std::u32string> out;
    for (const TextSpan &s : split_sentences(text, language, latin_classes()))
        out.emplace_back(text.substr(s.begin, s.end - s.begin));
    return out;
}

std::u32string lemma(std::u32string_view word,
                     TextLanguage language = TextLanguage::Portuguese) {
    return lemmatize_word(fold(word), language);
}

}  // namespace

TEST(TextUnits, FoldingLowersAndDropsAccents) {
    EXPECT_EQ(fold(U"ELEIÇÕES"), U"eleicoes");
    EXPECT_EQ(to_lower(std::u32string_view(U"ELEIÇÕES")), U"eleições");
    EXPECT_EQ(fold(U"Ÿ Ĳ İ Ł"), U"y ĳ i l");
    EXPECT_EQ(fold(U"a\u0301gua"), U"agua");  // decomposed accent
    EXPECT_EQ(to_lower(U'Ж'), U'ж');
    EXPECT_EQ(to_lower(U'×'), U'×');
}

TEST(TextUnits, LemmasGroupSingularAndPlural) {
    EXPECT_EQ(lemma(U"Eleições"), U"eleicao");
    EXPECT_EQ(lemma(U"eleição"), U"eleicao");
    EXPECT_EQ(lemma(U"jornais"), U"jornal");
    EXPECT_EQ(lemma(U"papéis"), U"papel");
    EXPECT_EQ(lemma(U"mulheres"), U"mulher");
    EXPECT_EQ(lemma(U"homens"), U"homem");
    EXPECT_EQ(lemma(U"cidadãos"), U"cidadao");
    EXPECT_EQ(lemma(U"meses"), U"mes");
    EXPECT_EQ(lemma(U"vezes"), U"vez");
    EXPECT_EQ(lemma(U"interesses"), U"interesse");
    EXPECT_EQ(lemma(U"anos"), U"ano");
    // Singular words that only look plural stay as they are.
    EXPECT_EQ(lemma(U"país"), U"pais");
    EXPECT_EQ(lemma(U"ônibus"), U"onibus");
    EXPECT_EQ(lemma(U"lápis"), U"lapis");
    EXPECT_EQ(lemma(U"cities", TextLanguage::English), U"city");
    EXPECT_EQ(lemma(U"classes", TextLanguage::English), U"class");
    EXPECT_EQ(lemma(U"ciudades", TextLanguage::Spanish), U"ciudad");
    EXPECT_EQ(lemma(U"veces", TextLanguage::Spanish), U"vez");
    EXPECT_EQ(lemma(U"elecciones", TextLanguage::Spanish), U"eleccion");
}

TEST(TextUnits, StopWordsAreLookedUpFolded) {
    EXPECT_TRUE(is_stop_word(fold(U"Não"), TextLanguage::Portuguese));
    EXPECT_TRUE(is_stop_word(fold(U"também"), TextLanguage::Portuguese));
    EXPECT_FALSE(is_stop_word(fold(U"governo"), TextLanguage::Portuguese));
    EXPECT_TRUE(is_stop_word(U"the", TextLanguage::English));
    EXPECT_FALSE(is_stop_word(U"the", TextLanguage::Portuguese));
    EXPECT_EQ(text_language_from_name("portuguese"), TextLanguage::Portuguese);
    EXPECT_FALSE(text_language_from_name("klingon").has_value());
}

TEST(TextUnits, SentencesEndAtTerminalPunctuationBeforeAnOpening) {
    EXPECT_EQ(sentences(U"O Sr. Silva chegou cedo. Depois saiu."),
              (std::vector<std::u32string>{U"O Sr. Silva chegou cedo.", U"Depois saiu."}));
    EXPECT_EQ(sentences(U"A taxa subiu 3.5 por cento. Outra frase"),
              (std::vector<std::u32string>{U"A taxa subiu 3.5 por cento.", U"Outra frase"}));
    EXPECT_EQ(sentences(U"Quem venceu? Ele! Sim…  Fim."),
              (std::vector<std::u32string>{U"Quem venceu?", U"Ele!", U"Sim…", U"Fim."}));
    EXPECT_EQ(sentences(U"Frutas, legumes etc. e outros itens. J. R. Silva venceu."),
              (std::vector<std::u32string>{U"Frutas, legumes etc. e outros itens.",
                                           U"J. R. Silva venceu."}));
    EXPECT_EQ(sentences(U"Ele disse \"basta.\" Depois \u00abnada\u00bb."),
              (std::vector<std::u32string>{U"Ele disse \"basta.\"", U"Depois \u00abnada\u00bb."}));
    EXPECT_EQ(sentences(U"Mr. Smith left. He came back.", TextLanguage::English),
              (std::vector<std::u32string>{U"Mr. Smith left.", U"He came back."}));
}

TEST(TextUnits, BlankLinesSeparateButSingleLineBreaksDoNot) {
    EXPECT_EQ(sentences(U"Título da matéria\n\nO texto começa aqui.\ne continua aqui."),
              (std::vector<std::u32string>{U"Título da matéria",
                                           U"O texto começa aqui.\ne continua aqui."}));
    EXPECT_EQ(sentences(U"Uma.\r\n\r\nDuas"), (std::vector<std::u32string>{U"Uma.", U"Duas"}));
    EXPECT_EQ(sentences(U"Fim\u2029\u2029Outro"),
              (std::vector<std::u32string>{U"Fim", U"Outro"}));
    EXPECT_TRUE(sentences(U"  ... !!! \n\n ?").empty());
    EXPECT_TRUE(sentences(U"").empty());
}

TEST(TextUnits, WordsJoinAcrossInnerHyphensAndApostrophes) {
    const std::u32string text = U"O guarda-chuva, d'água e a\u0301gua- ok";
    auto words = split_words(text, {0, text.size()}, latin_classes());
    std::vector<std::u32string> got;
    std::vector<bool> gaps;
    for (const WordToken &w : words) {
        got.emplace_back(text.substr(w.span.begin, w.span.end - w.span.begin));
        gaps.push_back(w.follows_gap);
    }
    EXPECT_EQ(got, (std::vector<std::u32string>{U"O", U"guarda-chuva", U"d'água", U"e",
                                                U"a\u0301gua", U"ok"}));
    EXPECT_EQ(gaps, (std::vector<bool>{true, false, true, false, false, true}));
    EXPECT_EQ(collapse_spaces(U"  a \n\t b  ", {0, 10}, latin_classes()), U"a b");
}
