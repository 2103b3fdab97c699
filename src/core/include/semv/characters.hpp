// The characters the rest of the core is written in terms of, each rule in
// one place: what a token is made of, what a keyword is made of, and the
// Turkish fold. The package reads them from here too (nuvra._batch exports
// them), so that Python and C++ cannot disagree.
#pragma once

#include <array>

namespace semv {

// Tokens are the runs of these: ASCII letters, digits and '_'.
constexpr bool is_token_char(char32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Keywords are made of these: a token's characters, lower case.
constexpr bool is_keyword_char(char32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// The Turkish letters and the ASCII letters a space that folds reads them
// as, case kept (upper case onto upper case, so that a fold never makes a
// cut between camel-case words).
struct Fold {
  char16_t from;
  char to;
};
inline constexpr std::array<Fold, 12> turkish_fold{{{u'ç', 'c'},
                                                    {u'Ç', 'C'},
                                                    {u'ğ', 'g'},
                                                    {u'Ğ', 'G'},
                                                    {u'ı', 'i'},
                                                    {u'İ', 'I'},
                                                    {u'ö', 'o'},
                                                    {u'Ö', 'O'},
                                                    {u'ş', 's'},
                                                    {u'Ş', 'S'},
                                                    {u'ü', 'u'},
                                                    {u'Ü', 'U'}}};

}  // namespace semv
