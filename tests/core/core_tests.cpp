// Every variant of the core against the others, in one binary: spaces built
// at run time (on the fixed tables and on the general ones) against the plain
// twin that takes a space as data, and against the fixed space's own
// kernels; on random spaces, words and texts in the three storage widths.
//
//   core_tests [seed] [rounds]
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "scalar_twin.hpp"
#include "semv/default_space.hpp"
#include "semv/reference.hpp"
#include "semv/space.hpp"
#include "semv/text_batch.hpp"
#include "semv/vectors.hpp"

namespace {

int failures = 0;

void fail(const char* test, const std::string& what) {
  if (++failures <= 20) std::fprintf(stderr, "FAIL %s: %s\n", test, what.c_str());
}

std::string utf8(std::u32string_view s) {
  std::string out;
  for (char32_t c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

bool same_bits(const std::vector<double>& a, const double* b) {
  for (std::size_t i = 0; i < a.size(); ++i)
    if (!same_bits(a[i], b[i])) return false;
  return true;
}

std::string shown(const std::vector<double>& v) {
  std::string out = "[";
  char buffer[40];
  for (double x : v) {
    std::snprintf(buffer, sizeof buffer, "%.17g ", x);
    out += buffer;
  }
  return out + "]";
}

// The units of s in storage of width `Unit`, or false when a code point
// does not fit.
template <class Unit>
bool units_of(std::u32string_view s, std::vector<Unit>& out) {
  out.clear();
  for (char32_t c : s) {
    if (c > std::numeric_limits<Unit>::max()) return false;
    out.push_back(static_cast<Unit>(c));
  }
  return true;
}

class Random {
 public:
  explicit Random(std::uint64_t seed) : engine_(seed) {}
  std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(engine_); }
  bool chance(double p) { return uniform(0.0, 1.0) < p; }
  double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(engine_); }
  template <class T>
  const T& pick(const std::vector<T>& items) {
    return items[below(items.size())];
  }

 private:
  std::mt19937_64 engine_;
};

// Keywords from a small alphabet share many bigrams, which is where the
// counting and the bounds are tested.
std::string random_keyword(Random& r, bool fixed_shape) {
  static const std::string narrow = "aeilnorst", wide = "abcdefghijklmnopqrstuvwxyz0123456789_";
  const std::string& alphabet = fixed_shape ? narrow : (r.chance(0.7) ? narrow + "_0" : wide);
  const std::size_t length = fixed_shape      ? 2 + r.below(9)
                             : r.chance(0.05) ? 2 + r.below(63)
                                              : 2 + r.below(10);
  std::string word;
  for (std::size_t i = 0; i < length; ++i) word += alphabet[r.below(alphabet.size())];
  return word;
}

double random_threshold(Random& r) {
  switch (r.below(6)) {
    case 0: return 0.4;
    case 1: return 1.0;
    case 2: return std::numeric_limits<double>::denorm_min();
    case 3: return 1.0 / 3.0;
    case 4: return 0.25;
    default: return r.uniform(1e-3, 1.0);
  }
}

semv::SpaceSpec random_space(Random& r, bool fixed_shape) {
  semv::SpaceSpec spec;
  const std::size_t k = fixed_shape ? 3 : 1 + r.below(r.chance(0.1) ? 64 : 6);
  std::vector<std::string> used;
  for (std::size_t a = 0; a < k; ++a) {
    semv::AxisSpec axis;
    axis.name = "axis" + std::to_string(a);
    axis.threshold = fixed_shape ? 0.4 : random_threshold(r);
    const std::size_t n = 1 + r.below(fixed_shape ? 8 : 20);
    for (std::size_t i = 0; i < n; ++i) {
      std::string word = random_keyword(r, fixed_shape);
      bool taken = false;
      for (const std::string& u : used) taken = taken || u == word;
      if (taken) continue;
      used.push_back(word);
      axis.keywords.push_back(word);
    }
    if (axis.keywords.empty()) axis.keywords.push_back("zz" + std::to_string(a));
    spec.axes.push_back(axis);
  }
  spec.split = !fixed_shape && r.chance(0.5);
  spec.fold = !fixed_shape && r.chance(0.5);
  return spec;
}

// A text made of the space's keywords, pieces and variations of them, other
// words, case changes, Turkish letters and separators of every width.
std::u32string random_text(Random& r, const semv::SpaceSpec& spec, std::size_t tokens) {
  static const std::vector<std::u32string> separators = {U" ", U"  ",         U", ", U"-", U".", U":",
                                                         U"é", U"ç",          U"İ",  U"ı", U"ğ", U"Ş",
                                                         U"€", U"\U0001D518", U"\t", U"/"};
  static const std::vector<std::u32string> glue = {U"ç", U"Ç", U"ğ", U"ı", U"İ",
                                                   U"ö", U"Ü", U"ş", U"_", U"9"};
  std::u32string text;
  for (std::size_t t = 0; t < tokens; ++t) {
    std::u32string token;
    const auto& axis = spec.axes[r.below(spec.axes.size())];
    const std::string& keyword = axis.keywords[r.below(axis.keywords.size())];
    switch (r.below(5)) {
      case 0: token.assign(keyword.begin(), keyword.end()); break;
      case 1: token.assign(keyword.begin(), keyword.begin() + 1 + r.below(keyword.size())); break;
      case 2: {
        token.assign(keyword.begin(), keyword.end());
        token += U"xyz"[r.below(3)];
        token.insert(token.begin() + r.below(token.size()), U"aeo"[r.below(3)]);
        break;
      }
      case 3:
        for (std::size_t i = 0, n = 1 + r.below(12); i < n; ++i) token += U"abcdefghinorstu0_"[r.below(17)];
        break;
      default: token = r.pick(glue); token.append(keyword.begin(), keyword.end());
    }
    for (char32_t& c : token)
      if (c >= U'a' && c <= U'z' && r.chance(0.15)) c -= U'a' - U'A';
    if (r.chance(0.2)) token += r.pick(glue);
    text += token;
    text += r.chance(0.15) ? std::u32string() : r.pick(separators);
  }
  return text;
}

// A normalised word: lower case, with other code points now and then.
std::u32string random_word(Random& r, const semv::SpaceSpec& spec) {
  std::u32string word = random_text(r, spec, 1);
  std::u32string out;
  for (char32_t c : word) {
    if (c >= U'A' && c <= U'Z') c += U'a' - U'A';
    if (c == U' ' || c == U'\t') continue;
    out += c;
  }
  return out;
}

template <class Unit>
void check_text(const char* test, const semv::Space& space, semv::SpaceScratch& scratch,
                std::u32string_view text, const std::vector<double>& expected) {
  std::vector<Unit> units;
  if (!units_of(text, units)) return;
  std::vector<double> out(space.axis_count(), -1.0);
  space.text_vector(std::span<const Unit>(units), out.data(), scratch);
  if (!same_bits(expected, out.data()))
    fail(test, "text '" + utf8(text.substr(0, 120)) + "' width " + std::to_string(sizeof(Unit)) + ": " +
                   shown(out) + " != " + shown(expected));
}

template <class Unit>
void check_word(const char* test, const semv::Space& space, semv::SpaceScratch& scratch,
                std::u32string_view word, const std::vector<double>& expected) {
  std::vector<Unit> units;
  if (!units_of(word, units)) return;
  std::vector<double> out(space.axis_count(), -1.0);
  space.word_vector(std::span<const Unit>(units), out.data(), scratch);
  if (!same_bits(expected, out.data()))
    fail(test, "word '" + utf8(word) + "': " + shown(out) + " != " + shown(expected));
}

// Texts and words of a space, scored by `space` and by the plain twin.
void compare_with_reference(const char* test, Random& r, const semv::SpaceSpec& spec,
                            const semv::Space& space, std::size_t texts) {
  semv::SpaceScratch scratch;
  if (!scratch.bind(space)) return fail(test, "no scratch");
  for (std::size_t i = 0; i < texts; ++i) {
    const std::u32string text = random_text(r, spec, r.chance(0.02) ? 900 : 1 + r.below(12));
    const std::vector<double> expected = semv::reference::text_vector(spec, text);
    check_text<std::uint8_t>(test, space, scratch, text, expected);
    check_text<std::uint16_t>(test, space, scratch, text, expected);
    check_text<std::uint32_t>(test, space, scratch, text, expected);
    const std::u32string word = random_word(r, spec);
    const std::vector<double> word_expected = semv::reference::word_vector(spec, word);
    check_word<std::uint8_t>(test, space, scratch, word, word_expected);
    check_word<std::uint16_t>(test, space, scratch, word, word_expected);
    check_word<std::uint32_t>(test, space, scratch, word, word_expected);
  }
}

semv::SpaceSpec default_spec() {
  return semv::default_space_spec();
}

// The builder, given the default lists at run time, builds the tables the
// compiler built.
void test_default_tables() {
  const char* test = "default tables";
  const semv::SpaceBuild build = semv::build_space(default_spec());
  if (!build.space || !build.space->fixed_tables())
    return fail(test, "the default lists do not run on the fixed tables");
  const semv::Vocabularies& a = *build.space->fixed_tables();
  const semv::Vocabularies& b = semv::vocabularies;
  for (std::size_t axis = 0; axis < semv::axis_count; ++axis) {
    if (a.keywords[axis].size != b.keywords[axis].size) fail(test, "keyword list size");
    for (std::size_t k = 0; k < b.keywords[axis].size; ++k)
      if (a.keywords[axis].words[k] != b.keywords[axis].words[k]) fail(test, "keyword");
  }
  auto same = [&](const auto& x, const auto& y, const char* what) {
    static_assert(std::has_unique_object_representations_v<std::remove_cvref_t<decltype(x)>> ||
                  std::is_trivially_copyable_v<std::remove_cvref_t<decltype(x)>>);
    if (std::memcmp(&x, &y, sizeof x) != 0) fail(test, what);
  };
  same(a.bigrams, b.bigrams, "bigrams");
  same(a.prefix_keywords, b.prefix_keywords, "prefix keywords");
  same(a.prefix_keyword_count, b.prefix_keyword_count, "prefix keyword count");
  same(a.prefix_candidates, b.prefix_candidates, "prefix candidates");
  same(a.pair_number, b.pair_number, "pair numbers");
  same(a.keywords_with_pair, b.keywords_with_pair, "keywords with pair");
  same(a.set_size, b.set_size, "set sizes");
  same(a.least_common, b.least_common, "least common");
  same(a.smallest_set_with_pair, b.smallest_set_with_pair, "smallest set with pair");
  same(a.first_slot, b.first_slot, "first slots");
  same(a.keyword_bigram_count, b.keyword_bigram_count, "keyword bigram count");
  same(a.byte_pair_keyword, b.byte_pair_keyword, "byte pair keywords");
}

// The default lists on the fixed tables, on the general ones, the fixed
// space's own kernels and the plain twin all agree.
void test_default_space(Random& r, std::size_t rounds) {
  const char* test = "default space";
  const semv::SpaceSpec spec = default_spec();
  const auto fixed = semv::build_space(spec).space;
  const auto general = semv::build_space(spec, semv::Tables::general).space;
  if (!fixed || !general || general->fixed_tables()) return fail(test, "build");
  compare_with_reference("default space, fixed tables", r, spec, *fixed, rounds);
  compare_with_reference("default space, general tables", r, spec, *general, rounds);
  semv::SpaceScratch scratch;
  scratch.bind(*general);
  for (std::size_t i = 0; i < rounds; ++i) {
    const std::u32string text = random_text(r, spec, 1 + r.below(20));
    std::vector<std::uint32_t> units(text.begin(), text.end());
    const semv::TextVector tv = semv::text_vector(semv::vocabularies, std::span<const std::uint32_t>(units));
    const std::vector<double> expected(tv.components.begin(), tv.components.end());
    check_text<std::uint32_t>(test, *general, scratch, text, expected);
  }
}

void test_random_spaces(Random& r, std::size_t rounds) {
  for (std::size_t i = 0; i < rounds; ++i) {
    const semv::SpaceSpec spec = random_space(r, false);
    const semv::SpaceBuild build = semv::build_space(spec);
    if (!build.space) {
      fail("random spaces", "build refused: " + build.problems.front().what);
      continue;
    }
    compare_with_reference("random spaces", r, spec, *build.space, 40);
  }
}

// Spaces of thousands of keywords that share most of their bigrams, where
// the posting lists are long and the bounds skip most of them.
void test_large_spaces(Random& r, std::size_t rounds) {
  for (std::size_t i = 0; i < rounds; ++i) {
    semv::SpaceSpec spec;
    const std::size_t k = 1 + r.below(4), n = 300 + r.below(2000);
    std::vector<std::string> all;
    for (std::size_t j = 0; all.size() < n && j < 4 * n; ++j) {
      std::string word = random_keyword(r, true);
      if (r.chance(0.3)) word += random_keyword(r, true);
      bool taken = false;
      for (const std::string& u : all) taken = taken || u == word;
      if (!taken) all.push_back(word);
    }
    for (std::size_t a = 0; a < k; ++a) {
      semv::AxisSpec axis{"axis" + std::to_string(a), {}, random_threshold(r)};
      for (std::size_t j = a; j < all.size(); j += k) axis.keywords.push_back(all[j]);
      spec.axes.push_back(axis);
    }
    spec.split = r.chance(0.5);
    const semv::SpaceBuild build = semv::build_space(spec);
    if (!build.space) {
      fail("large spaces", "build refused");
      continue;
    }
    compare_with_reference("large spaces", r, spec, *build.space, 8);
  }
}

// Three axes, thresholds of 0.4, short a-z keywords: the fixed tables where
// they fit, and the general ones, against the plain twin.
void test_fixed_shape_spaces(Random& r, std::size_t rounds) {
  std::size_t on_fixed = 0;
  for (std::size_t i = 0; i < rounds; ++i) {
    const semv::SpaceSpec spec = random_space(r, true);
    const auto best = semv::build_space(spec).space;
    const auto general = semv::build_space(spec, semv::Tables::general).space;
    if (!best || !general) {
      fail("fixed-shape spaces", "build refused");
      continue;
    }
    on_fixed += best->fixed_tables() != nullptr;
    compare_with_reference("fixed-shape spaces, best tables", r, spec, *best, 40);
    compare_with_reference("fixed-shape spaces, general tables", r, spec, *general, 40);
  }
  if (on_fixed * 2 < rounds) fail("fixed-shape spaces", "too few ran on the fixed tables");
}

// A scratch used with one space, then another, then the first again, gives
// what a fresh one gives: nothing one space computed answers for another.
void test_caches_bound_to_one_space(Random& r) {
  const char* test = "caches bound to one space";
  semv::SpaceSpec a_spec = random_space(r, false), b_spec = a_spec;
  for (auto& axis : b_spec.axes) axis.threshold = 1.0;
  b_spec.axes[0].keywords.push_back("qqq");
  const auto a = semv::build_space(a_spec).space, b = semv::build_space(b_spec).space;
  semv::SpaceScratch shared;
  for (int round = 0; round < 3; ++round)
    for (const auto& [spec, space] : {std::pair{&a_spec, a}, std::pair{&b_spec, b}}) {
      if (!shared.bind(*space)) return fail(test, "bind");
      for (int i = 0; i < 30; ++i) {
        const std::u32string text = random_text(r, *spec, 4);
        check_text<std::uint32_t>(test, *space, shared, text, semv::reference::text_vector(*spec, text));
      }
    }
  // The fixed space's batch cache too: the default tables, then tables of
  // other lists, through one TextBatch.
  semv::SpaceSpec other = default_spec();
  other.axes[0].keywords = {"disk"};
  const auto other_space = semv::build_space(other).space;
  if (!other_space || !other_space->fixed_tables()) return fail(test, "other lists on the fixed tables");
  semv::TextBatch batch;
  const std::u32string text = U"disk disk error disk";
  std::vector<std::uint32_t> units(text.begin(), text.end());
  for (int round = 0; round < 2; ++round) {
    const auto d = batch.text_vector(semv::vocabularies, std::span<const std::uint32_t>(units));
    const auto o = batch.text_vector(*other_space->fixed_tables(), std::span<const std::uint32_t>(units));
    if (!same_bits(std::vector<double>(d.components.begin(), d.components.end()),
                   semv::reference::text_vector(default_spec(), text).data()))
      fail(test, "the default tables after others");
    if (!same_bits(std::vector<double>(o.components.begin(), o.components.end()),
                   semv::reference::text_vector(other, text).data()))
      fail(test, "other tables after the default ones");
  }
}

// Spaces at every limit build and score.
void test_limits(Random& r) {
  const char* test = "limits";
  semv::SpaceSpec wide;
  for (std::size_t a = 0; a < semv::max_space_axes; ++a)
    wide.axes.push_back({std::string("a").append(std::to_string(a)),
                         {random_keyword(r, true) + "x" + std::to_string(a)},
                         0.4});
  wide.axes.back().threshold = std::numeric_limits<double>::denorm_min();
  wide.axes.front().threshold = 1.0;
  auto build = semv::build_space(wide);
  if (!build.space) return fail(test, "64 axes refused");
  compare_with_reference("limits, 64 axes", r, wide, *build.space, 50);

  semv::SpaceSpec many;
  many.axes.resize(2);
  many.axes[0].name = "long";
  many.axes[1].name = "many";
  many.axes[1].threshold = std::numeric_limits<double>::denorm_min();
  std::string longest(semv::max_space_keyword_length, 'a');
  for (std::size_t i = 0; i < longest.size(); ++i)
    longest[i] = "abcdefghijklmnopqrstuvwxyz0123456789_"[i % 37];
  many.axes[0].keywords.push_back(longest);
  for (std::size_t i = 0; many.axes[1].keywords.size() + 1 < semv::max_space_keywords; ++i) {
    std::string word;
    for (std::size_t n = i + 37 * 37; n; n /= 37) word += "abcdefghijklmnopqrstuvwxyz0123456789_"[n % 37];
    many.axes[1].keywords.push_back(word);
  }
  build = semv::build_space(many);
  if (!build.space) return fail(test, "65,535 keywords refused: " + build.problems.front().what);
  semv::SpaceScratch scratch;
  scratch.bind(*build.space);
  const std::u32string samples[] = {U"abcdefghijklmnopqrstuvwxyz0123456789_abcdefghijklmnopqrstuvwxyz0 x",
                                    U"qq zz_9 b0 aaa", U"abcdefgh ijk", U"the disk is full"};
  for (const std::u32string& text : samples)
    check_text<std::uint32_t>(test, *build.space, scratch, text, semv::reference::text_vector(many, text));

  many.axes[1].keywords.push_back("one_too_many");
  if (semv::build_space(many).space) fail(test, "65,536 keywords built");
}

// Every rule a space breaks is reported, with its axis and keyword.
void test_problems() {
  const char* test = "problems";
  semv::SpaceSpec bad;
  bad.axes = {{"", {"ok", "x", "Upper", std::string(65, 'a')}, 0.0},
              {"two", {}, std::numeric_limits<double>::quiet_NaN()},
              {"three", {"ok", "fine"}, 1.5},
              {"three", {"fine2"}, 0.4}};
  const semv::SpaceBuild build = semv::build_space(bad);
  if (build.space) return fail(test, "a bad space built");
  struct Expected {
    std::size_t axis, keyword;
    const char* part;
  };
  constexpr std::size_t none = semv::SpaceProblem::no_index;
  const Expected expected[] = {{0, none, "no name"},         {0, none, "threshold"},
                               {0, 1, "1 characters"},       {0, 2, "holds 'U'"},
                               {0, 3, "65 characters"},      {1, none, "no keywords"},
                               {1, none, "threshold"},       {2, none, "threshold"},
                               {3, none, "taken by axis 2"}, {2, 0, "already keyword 0 of axis 0"}};
  for (const Expected& e : expected) {
    bool found = false;
    for (const semv::SpaceProblem& p : build.problems)
      found =
          found || (p.axis == e.axis && p.keyword == e.keyword && p.what.find(e.part) != std::string::npos);
    if (!found) fail(test, std::string("not reported: ") + e.part);
  }
  if (semv::build_space(semv::SpaceSpec{}).problems.empty()) fail(test, "a space without axes built");
}

template <class Unit>
void compare_twins(const char* test, std::u32string_view text) {
  std::vector<Unit> units;
  if (!units_of(text, units)) return;
  const std::span<const Unit> view(units);
  const auto simd = semv::text_vector(semv::vocabularies, view).components;
  const auto scalar = scalar_twin::text_vector(view);
  if (std::memcmp(simd.data(), scalar.data(), sizeof simd) != 0)
    fail(test, "text '" + utf8(text.substr(0, 120)) + "'");
  const auto simd_word = semv::word_vector(semv::vocabularies, view).components;
  const auto scalar_word = scalar_twin::word_vector(view);
  if (std::memcmp(simd_word.data(), scalar_word.data(), sizeof simd_word) != 0)
    fail(test, "word '" + utf8(text.substr(0, 120)) + "'");
}

// The fixed space's SIMD kernels (as this binary is built) against their
// scalar twins, built into the same binary: words, texts, a batch's texts
// and cosines, bit for bit.
void test_scalar_twins(Random& r, std::size_t rounds) {
  const char* test = "scalar twins";
  const semv::SpaceSpec spec = default_spec();
  semv::TextBatch batch;
  for (std::size_t i = 0; i < rounds; ++i) {
    const std::u32string text = random_text(r, spec, r.chance(0.05) ? 400 : 1 + r.below(30));
    compare_twins<std::uint8_t>(test, text);
    compare_twins<std::uint16_t>(test, text);
    compare_twins<std::uint32_t>(test, text);
    const std::u32string word = random_word(r, spec);
    compare_twins<std::uint32_t>(test, word);
    std::vector<std::uint32_t> units(text.begin(), text.end());
    const auto simd = batch.text_vector(semv::vocabularies, std::span<const std::uint32_t>(units)).components;
    const auto scalar = scalar_twin::batch_text_vector(std::span<const std::uint32_t>(units));
    if (std::memcmp(simd.data(), scalar.data(), sizeof simd) != 0) fail(test, "batch text");
  }
  const double specials[] = {0.0, -0.0, 1.0, 0.5, 1e-300, 1e300, std::nan(""), -std::nan("1"), 3.0, -2.0};
  for (std::size_t i = 0; i < rounds; ++i) {
    const std::size_t n = r.below(9);
    std::vector<double> rows(3 * n), simd(n), scalar(n);
    for (double& x : rows) x = specials[r.below(10)];
    const double query[3] = {specials[r.below(10)], specials[r.below(10)], specials[r.below(10)]};
    semv::cosine_similarities(rows.data(), n, query, simd.data());
    scalar_twin::cosine_similarities(rows.data(), n, query, scalar.data());
    if (n && std::memcmp(simd.data(), scalar.data(), n * sizeof(double)) != 0) fail(test, "cosines");
  }
}

void test_cosines(Random& r, std::size_t rounds) {
  const char* test = "cosines";
  for (std::size_t i = 0; i < rounds; ++i) {
    const std::size_t k = 1 + r.below(9), n = 1 + r.below(5);
    std::vector<double> rows(n * k), query(k), out(n);
    const double specials[] = {0.0, -0.0, 1.0, 0.5, 1e-300, 1e300, std::nan(""), 3.0};
    for (double& x : rows) x = specials[r.below(8)] * (r.chance(0.3) ? -1.0 : 1.0);
    for (double& x : query) x = specials[r.below(8)];
    semv::cosine_similarities(rows.data(), n, query.data(), k, out.data());
    for (std::size_t j = 0; j < n; ++j) {
      const double* row = rows.data() + j * k;
      double dot = row[0] * query[0], n1 = row[0] * row[0], n2 = query[0] * query[0];
      for (std::size_t c = 1; c < k; ++c) dot = dot + row[c] * query[c];
      for (std::size_t c = 1; c < k; ++c) n1 = n1 + row[c] * row[c];
      for (std::size_t c = 1; c < k; ++c) n2 = n2 + query[c] * query[c];
      const double l1 = std::sqrt(n1), l2 = std::sqrt(n2);
      const double plain = dot == 0.0 || l1 == 0.0 || l2 == 0.0 ? 0.0 : dot / (l1 * l2);
      if (!same_bits(plain, out[j]) && !(std::isnan(plain) && std::isnan(out[j])))
        fail(test, "k=" + std::to_string(k));
      if (!same_bits(out[j], semv::cosine_similarity(row, query.data(), k)) &&
          !(std::isnan(out[j]) && std::isnan(semv::cosine_similarity(row, query.data(), k))))
        fail(test, "rows and one row disagree");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20261210;
  const std::size_t rounds = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 100;
  Random r(seed);
  test_default_tables();
  test_default_space(r, rounds * 5);
  test_random_spaces(r, rounds);
  test_fixed_shape_spaces(r, rounds);
  test_large_spaces(r, rounds / 10 + 1);
  test_caches_bound_to_one_space(r);
  test_limits(r);
  test_problems();
  test_cosines(r, rounds * 10);
  test_scalar_twins(r, rounds * 10);
  if (failures) {
    std::fprintf(stderr, "%d failures (seed %llu)\n", failures, static_cast<unsigned long long>(seed));
    return 1;
  }
  std::printf("core tests passed (seed %llu, %zu rounds)\n", static_cast<unsigned long long>(seed), rounds);
  return 0;
}
