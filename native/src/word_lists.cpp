// Stop words and abbreviations per language, in folded form (lower case,
// no accents), since lookups are made with folded words.
#include <string>
#include <unordered_set>

#include "wrapper_native/text_units.hpp"

namespace wrapper_native {
namespace {

using WordSet = std::unordered_set<std::u32string>;

WordSet make_set(const char *words) {
    WordSet set;
    std::u32string current;
    for (const char *p = words;; ++p) {
        if (*p == ' ' || *p == '\0') {
            if (!current.empty()) set.insert(current);
            current.clear();
            if (*p == '\0') break;
        } else {
            current.push_back(static_cast<char32_t>(static_cast<unsigned char>(*p)));
        }
    }
    return set;
}

// Articles, prepositions and their contractions, pronouns, conjunctions,
// common adverbs, the auxiliary verbs and the reporting verbs of news text.
const char *const kPortugueseStop =
    "a o as os um uma uns umas de do da dos das em no na nos nas por pelo pela "
    "pelos pelas para pra com sem sob sobre entre ate apos ante contra desde "
    "perante ao aos num numa nuns numas dum duma duns dumas neste nesta nestes "
    "nestas nesse nessa nesses nessas naquele naquela naqueles naquelas nisto "
    "nisso naquilo deste desta destes destas desse dessa desses dessas daquele "
    "daquela daqueles daquelas disto disso daquilo este esta estes estas esse "
    "essa esses essas aquele aquela aqueles aquelas isto isso aquilo e ou mas "
    "porem contudo todavia entretanto que se como quando onde porque pois "
    "portanto logo embora caso conforme enquanto eu tu ele ela vos eles elas "
    "voce voces me te lhe lhes mim ti si comigo contigo conosco consigo meu "
    "minha meus minhas teu tua teus tuas seu sua seus suas nosso nossa nossos "
    "nossas vosso vossa vossos vossas dele dela deles delas qual quais quem "
    "cujo cuja cujos cujas quanto quanta quantos quantas nao sim ja ainda "
    "tambem so apenas muito muita muitos muitas pouco pouca poucos poucas mais "
    "menos tao tanto tanta tantos tantas todo toda todos todas outro outra "
    "outros outras mesmo mesma mesmos mesmas cada qualquer quaisquer algum "
    "alguma alguns algumas nenhum nenhuma tudo nada algo alguem ninguem aqui "
    "ai ali la ca entao agora depois antes sempre nunca jamais bem mal assim "
    "ser sou es somos sao era eram fui foi fomos foram fosse fossem for forem "
    "sera serao seria seriam sido sendo estar estou estamos estao estava "
    "estavam esteve estiveram estado estando estiver ter tenho tem temos tinha "
    "tinham teve tiveram tera terao teria teriam tido tendo tiver haver ha "
    "havia haviam houve havera haja hajam vai vao ir iria deve devem devia "
    "pode podem podia poderia poderiam seja sejam segundo diz dizem disse "
    "disseram afirmou afirma nem tal tais demais lo los durante cerca dois duas tres "
    "quatro cinco seis sete oito nove dez cem mil";

const char *const kEnglishStop =
    "a an the and or but if then else when while of at by for with about "
    "against between into through during before after above below to from up "
    "down in out on off over under again further once here there where why "
    "how all any both each few more most other some such no nor not only own "
    "same so than too very can will just should would could might must shall "
    "i me my myself we our ours ourselves you your yours yourself yourselves "
    "he him his himself she her hers herself it its itself they them their "
    "theirs themselves what which who whom this that these those am is are was "
    "were be been being have has had having do does did doing said says also "
    "as until because since although though upon";

const char *const kSpanishStop =
    "el la los las un una unos unas de del al a en por para con sin sobre "
    "entre hasta desde contra tras ante bajo segun y e o u ni pero sino que "
    "se como cuando donde porque pues aunque si no ya muy mas menos tan tanto "
    "tanta tantos tantas todo toda todos todas otro otra otros otras mismo "
    "misma mismos mismas cada cual cuales quien quienes cuyo cuya este esta "
    "estos estas ese esa esos esas aquel aquella aquellos aquellas esto eso "
    "aquello yo tu el ella nosotros nosotras vosotros ellos ellas usted "
    "ustedes me te le les lo nos os mi mis su sus nuestro nuestra nuestros "
    "nuestras ser es son era eran fue fueron sea sean sido siendo estar esta "
    "estan estaba estaban estuvo haber ha han habia habian hay hubo tener "
    "tiene tienen tenia puede pueden debe deben tambien solo aqui alli ahora "
    "antes despues siempre nunca bien mal asi algo nada alguien nadie algun "
    "alguna algunos algunas ningun ninguna dijo dice";

const char *const kPortugueseAbbrev =
    "sr sra srs sras srta dr dra drs dras prof profa profs sto sta av gov gen "
    "cel cap ten sgt dep sen min pres exmo exma ilmo ilma vol pag pags art "
    "arts inc ltda cia tel fig cap num obs aprox pp ex";
const char *const kEnglishAbbrev =
    "mr mrs ms dr prof st jr sr vs inc ltd co corp gen gov sen rep rev fig "
    "vol pp approx dept est jan feb apr jun jul aug sep sept oct nov dec";
const char *const kSpanishAbbrev =
    "sr sra srs sras srta dr dra drs prof profa ud uds lic ing arq av gral "
    "gob cia ltda art pag pags vol fig aprox num tel";

const WordSet &stop_set(TextLanguage language) {
    static const WordSet pt = make_set(kPortugueseStop);
    static const WordSet en = make_set(kEnglishStop);
    static const WordSet es = make_set(kSpanishStop);
    switch (language) {
        case TextLanguage::English: return en;
        case TextLanguage::Spanish: return es;
        default: return pt;
    }
}

const WordSet &abbreviation_set(TextLanguage language) {
    static const WordSet pt = make_set(kPortugueseAbbrev);
    static const WordSet en = make_set(kEnglishAbbrev);
    static const WordSet es = make_set(kSpanishAbbrev);
    switch (language) {
        case TextLanguage::English: return en;
        case TextLanguage::Spanish: return es;
        default: return pt;
    }
}

}  // namespace

bool is_stop_word(std::u32string_view folded, TextLanguage language) {
    return stop_set(language).count(std::u32string(folded)) > 0;
}

bool is_abbreviation(std::u32string_view folded, TextLanguage language) {
    return abbreviation_set(language).count(std::u32string(folded)) > 0;
}

}  // namespace wrapper_native
