// Headers, keys and templates of log lines.
#include "semv/grouping.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <numeric>
#include <unordered_map>

#include "semv/details/seed.hpp"

namespace semv {

namespace {

// The classes of a byte, one table lookup for all: a key is made byte by
// byte, and every test below is on the hot path.
enum : std::uint8_t {
  space_class = 1,
  digit_class = 2,
  letter_class = 4,
  hex_class = 8,
  word_class = 16,     // letters, digits and the bytes of non-ASCII characters
  mark_class = 32,     // what may start a path, an address or a key=value: / \ @ : = - _
  address_class = 64,  // what a path, a URL or an e-mail address holds: / \ @
};

constexpr std::array<std::uint8_t, 256> byte_classes = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    std::uint8_t k = 0;
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f') k |= space_class;
    if (c >= '0' && c <= '9') k |= digit_class | hex_class | word_class;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) k |= letter_class | word_class;
    if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) k |= hex_class;
    if (c >= 0x80) k |= word_class;
    if (c == '/' || c == '\\' || c == '@' || c == ':' || c == '=' || c == '-' || c == '_') k |= mark_class;
    if (c == '/' || c == '\\' || c == '@') k |= address_class;
    t[static_cast<std::size_t>(c)] = k;
  }
  return t;
}();

constexpr std::uint8_t class_of(char c) {
  return byte_classes[static_cast<unsigned char>(c)];
}
constexpr bool is_space(char c) {
  return class_of(c) & space_class;
}
constexpr bool is_digit(char c) {
  return class_of(c) & digit_class;
}
constexpr bool is_letter(char c) {
  return class_of(c) & letter_class;
}
constexpr bool is_hex(char c) {
  return class_of(c) & hex_class;
}
// Letters, digits and the bytes of non-ASCII characters: what words are made of.
constexpr bool is_word_byte(char c) {
  return class_of(c) & word_class;
}
constexpr char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_folded(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

template <std::size_t N>
bool one_of(std::string_view word, const std::array<std::string_view, N>& words) {
  return std::any_of(words.begin(), words.end(), [&](std::string_view w) { return equal_folded(word, w); });
}

// A set of bytes, tested by one table lookup.
class CharSet {
 public:
  constexpr explicit CharSet(std::string_view chars) {
    for (char c : chars) bits_[static_cast<unsigned char>(c)] = true;
  }
  constexpr bool operator()(char c) const { return bits_[static_cast<unsigned char>(c)]; }

 private:
  std::array<bool, 256> bits_{};
};

constexpr CharSet no_chars(""), trailing_comma(","), datetime_marks("-/:.,+TZ_"), program_marks("_./$()[]@-"),
    name_marks(".-/@_"), level_open("[<("), level_close("]>):"), token_open("([{\"'<"),
    token_close(")]}\"'>,;.:"), unit_close(",;)]"), word_open("\"'([{"), word_close("\"')]},;:.");

std::string_view strip(std::string_view t, const CharSet& lead, const CharSet& trail) {
  while (!t.empty() && lead(t.front())) t.remove_prefix(1);
  while (!t.empty() && trail(t.back())) t.remove_suffix(1);
  return t;
}

// --- headers -------------------------------------------------------------

// Digits and the separators of dates, times and numbers: 081109, 2005.11.09,
// 17/06/09, 00:00:00.008, 2017-05-16T10:00:00+02:00, 1131566461, a pid.
bool is_datetime(std::string_view t) {
  t = strip(t, no_chars, trailing_comma);
  if (t.empty()) return false;
  bool digit = false;
  for (char c : t) {
    if (is_digit(c)) {
      digit = true;
    } else if (!datetime_marks(c)) {
      return false;
    }
  }
  return digit;
}

// Three letters, lower-cased, as one number.
constexpr std::uint32_t packed3(std::string_view t) {
  return static_cast<std::uint32_t>(lower(t[0])) << 16 | static_cast<std::uint32_t>(lower(t[1])) << 8 |
         static_cast<std::uint32_t>(lower(t[2]));
}

bool is_calendar_word(std::string_view t) {
  static constexpr std::array<std::uint32_t, 19> names{
      packed3("jan"), packed3("feb"), packed3("mar"), packed3("apr"), packed3("may"),
      packed3("jun"), packed3("jul"), packed3("aug"), packed3("sep"), packed3("oct"),
      packed3("nov"), packed3("dec"), packed3("mon"), packed3("tue"), packed3("wed"),
      packed3("thu"), packed3("fri"), packed3("sat"), packed3("sun")};
  if (t.size() == 4 && t.back() == ',') t.remove_suffix(1);
  if (t.size() != 3 || !is_letter(t[0])) return false;
  const std::uint32_t key = packed3(t);
  return std::find(names.begin(), names.end(), key) != names.end();
}

bool is_level(std::string_view t) {
  if (t.size() < 3 || t.size() > 10) return false;
  static constexpr std::array<std::string_view, 17> levels{
      "info", "warn",   "warning", "error", "err",   "debug", "trace",   "fatal", "critical",
      "crit", "notice", "severe",  "emerg", "alert", "fine",  "verbose", "finest"};
  t = strip(t, level_open, level_close);
  return t.size() >= 3 && t.size() <= 8 && one_of(t, levels);
}

// A level that says something went wrong: WARN, ERROR, FATAL, ... (not INFO,
// DEBUG, NOTICE): words a reader of the message wants scored with it.
bool is_severe_level(std::string_view t) {
  static constexpr std::array<std::string_view, 9> severe{"warn",     "warning", "error",  "err",  "fatal",
                                                          "critical", "crit",    "severe", "emerg"};
  t = strip(t, level_open, level_close);
  return t.size() >= 3 && t.size() <= 8 && one_of(t, severe);
}

bool is_bracketed(std::string_view t) {
  return t.size() >= 2 && t.front() == '[' && t.back() == ']';
}

// A bracketed date or level: [Sun Dec 04 04:47:44 2005], [notice].
bool is_bracketed_header(std::string_view t) {
  if (!is_bracketed(t)) return false;
  const std::string_view inner = t.substr(1, t.size() - 2);
  if (is_level(inner)) return true;
  bool any = false;
  std::size_t i = 0;
  while (i < inner.size()) {
    while (i < inner.size() && is_space(inner[i])) ++i;
    const std::size_t start = i;
    while (i < inner.size() && !is_space(inner[i])) ++i;
    if (start == i) break;
    const std::string_view word = inner.substr(start, i - start);
    if (!is_datetime(word) && !is_calendar_word(word)) return false;
    any = true;
  }
  return any;
}

// A program, process or class that ends a header with ':' (sshd[42]:,
// su(pam_unix)[7]:, kernel:, dfs.DataNode$PacketResponder:, /usr/sbin/cron[9]:).
bool is_program(std::string_view t) {
  if (t.size() < 2 || t.back() != ':') return false;
  const std::string_view body = t.substr(0, t.size() - 1);
  bool letter = false;
  for (char c : body) {
    if (is_letter(c)) {
      letter = true;
    } else if (!is_digit(c) && !program_marks(c)) {
      return false;
    }
  }
  return letter && body.front() != '-' && body.front() != '(';
}

// A dotted class or logger name after a level: nova.osapi_compute.wsgi.server.
bool is_component(std::string_view t) {
  if (t.empty() || !is_letter(t.front()) || t.find('.') == std::string_view::npos) return false;
  return std::all_of(t.begin(), t.end(),
                     [](char c) { return is_letter(c) || is_digit(c) || c == '.' || c == '_' || c == '$'; });
}

// A host or file name in a header: dn228, tbird-admin1, local@node,
// nova-api.log.1.2017-05-16_13:53:08; before any date only one with a mark
// of a name (a digit or one of . - / @ _) is taken.
bool is_host(std::string_view t, bool after_date) {
  if (t.empty() || t.back() == ':' || t.find('=') != std::string_view::npos || is_bracketed(t)) return false;
  if (after_date) return true;
  return std::any_of(t.begin(), t.end(), [](char c) { return is_digit(c) || name_marks(c); });
}

// The token at `i` (a bracketed field with its spaces as one): [begin, end).
std::pair<std::size_t, std::size_t> token_at(std::string_view line, std::size_t i) {
  while (i < line.size() && is_space(line[i])) ++i;
  const std::size_t begin = i;
  if (i < line.size() && line[i] == '[') {
    // Up to the matching ']' within a short span, spaces included.
    int depth = 0;
    for (std::size_t j = i; j < line.size() && j < i + 256; ++j) {
      if (line[j] == '[') ++depth;
      if (line[j] == ']' && --depth == 0) {
        if (j + 1 == line.size() || is_space(line[j + 1])) return {begin, j + 1};
        break;
      }
    }
  }
  while (i < line.size() && !is_space(line[i])) ++i;
  return {begin, i};
}

// Pipe-separated fields in front of the message, the first one a time:
// 20171223-22:15:29:606|Step_LSC|30002312|onStandStepChanged 3579.
std::size_t pipe_header(std::string_view line) {
  std::size_t end = 0;
  while (end < line.size() && !is_space(line[end])) ++end;
  const std::string_view first = line.substr(0, end);
  const std::size_t bar = first.find('|');
  if (bar == std::string_view::npos || !is_datetime(first.substr(0, bar))) return 0;
  return first.rfind('|') + 1;
}

}  // namespace

namespace {

// Where the header ends, and where its severe level starts (npos if none).
std::size_t scan_header(std::string_view line, std::size_t& severe) {
  severe = std::string_view::npos;
  if (const std::size_t pipes = pipe_header(line)) return pipes;
  // Tokens are taken while they look like a header; host names between them
  // are taken only once a later header token confirms them.
  constexpr int max_tokens = 24, max_hosts = 2;
  std::size_t end = 0, i = 0;
  bool dated = false, after_level = false, after_component = false;
  int hosts = 0;
  for (int n = 0; n < max_tokens && i < line.size(); ++n) {
    const auto [begin, stop] = token_at(line, i);
    if (begin == stop) break;
    const std::string_view t = line.substr(begin, stop - begin);
    i = stop;
    if (after_component) {
      // A request or thread field right after a logger name, or " - ".
      if (is_bracketed(t) || t == "-") {
        end = stop;
        continue;
      }
      break;
    }
    if (is_datetime(t) || is_calendar_word(t) || t == "-" || is_bracketed_header(t)) {
      // Host names after a date are confirmed by words (a month, a level, a
      // program), not by numbers: a version (1:1.0.9-1) after two words is
      // the message's. Before any date, a date confirms a file or host name.
      if (hosts > 0 && dated && is_datetime(t)) break;
      dated = true;
      end = stop;
      hosts = 0;
      continue;
    }
    if (is_level(t)) {
      if (severe == std::string_view::npos && is_severe_level(t)) severe = begin;
      dated = true;
      after_level = true;
      end = stop;
      hosts = 0;
      continue;
    }
    if (is_program(t) && (dated || after_level)) {
      end = stop;
      break;
    }
    if (after_level && is_component(t)) {
      end = stop;
      after_component = true;
      continue;
    }
    if (after_level && is_bracketed(t)) {  // a thread: [main]
      end = stop;
      continue;
    }
    if (hosts < (dated ? max_hosts : 1) && is_host(t, dated)) {
      ++hosts;
      continue;
    }
    break;
  }
  while (end < line.size() && is_space(line[end])) ++end;
  return end;
}

}  // namespace

std::size_t header_length(std::string_view line) {
  std::size_t severe;
  return scan_header(line, severe);
}

std::size_t message_start(std::string_view line) {
  std::size_t severe;
  const std::size_t end = scan_header(line, severe);
  return std::min(end, severe);
}

// --- keys ----------------------------------------------------------------

namespace {

bool all_hex(std::string_view t) {
  return std::all_of(t.begin(), t.end(), is_hex);
}

// A UUID: 8-4-4-4-12 hex digits.
bool is_uuid(std::string_view t) {
  if (t.size() != 36) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? t[i] != '-' : !is_hex(t[i])) return false;
  }
  return true;
}

// A token that is variable as a whole: a path, a URL, an e-mail address, a
// long hex string or a UUID.
bool is_variable_token(std::string_view token) {
  const std::string_view t = strip(token, token_open, token_close);
  if (t.size() >= 2 && (t.front() == '/' || t.starts_with("./") || t.starts_with("~/"))) return true;
  if (t.find("://") != std::string_view::npos || t.find('\\') != std::string_view::npos) return true;
  const std::size_t at = t.find('@');
  if (at != std::string_view::npos && at > 0 && t.find('.', at) != std::string_view::npos) return true;
  if (t.size() >= 8 && all_hex(t)) return true;
  return is_uuid(t);
}

constexpr bool is_joiner(char c) {
  return c == '.' || c == ':' || c == '-' || c == '/' || c == ',' || c == '+' || c == '~';
}

void append_runs(std::string_view t, std::string& out);

void append_token(std::string_view t, std::string& out) {
  // Most tokens are words: no digit, nothing that starts a path, a URL or an
  // address, not a long hex string, not a month or day name. They are copied.
  std::uint8_t any = 0, all = 0xFF;
  for (char c : t) {
    any |= class_of(c);
    all &= class_of(c);
  }
  const bool digit = any & digit_class, marks = any & mark_class, hex = all & hex_class;
  if (!digit && !marks && !(hex && t.size() >= 8) && t.size() > 4) {
    out.append(t);
    return;
  }
  // Only a token with a slash, a backslash or '@', a long hex string, or one
  // as long as a UUID may be variable as a whole (or hold such a value after
  // '=').
  if ((any & address_class) || (hex && t.size() >= 8) || t.size() >= 36) {
    if (is_variable_token(t)) {
      out += variable;
      return;
    }
    // key=value where the value is a path or the like.
    const std::size_t eq = t.find('=');
    if (eq != std::string_view::npos && eq + 1 < t.size() && is_variable_token(t.substr(eq + 1))) {
      append_runs(t.substr(0, eq + 1), out);
      out += variable;
      return;
    }
  }
  append_runs(t, out);
}

// Runs of letters and digits: those with a digit are variable, and the
// joiners between two variable runs (. : - / , + ~) are part of one variable:
// 2.2.40-1.1+deb12u2 is one version.
void append_runs(std::string_view t, std::string& out) {
  std::size_t i = 0;
  bool last_variable = false;
  std::size_t pending = 0;  // joiners after a variable, not yet written
  while (i < t.size()) {
    const bool signed_number = (t[i] == '-' || t[i] == '+') && i + 1 < t.size() && is_digit(t[i + 1]) &&
                               (i == 0 || !is_word_byte(t[i - 1]));
    if (is_word_byte(t[i]) || t[i] == '_' || signed_number) {
      // A run of an identifier: letters, digits and '_' (a '-' after '_'
      // before a digit too: blk_-1608 is blk_1608's kind).
      const std::size_t start = i;
      if (signed_number) ++i;
      bool digit = false, hex = true;
      while (i < t.size() && (is_word_byte(t[i]) || t[i] == '_' ||
                              (t[i] == '-' && t[i - 1] == '_' && i + 1 < t.size() && is_digit(t[i + 1])))) {
        digit |= is_digit(t[i]);
        hex &= is_hex(t[i]);
        ++i;
      }
      // Hex letters joined to a variable by '-' are part of it (the groups of a UUID).
      const bool hex_group = hex && last_variable && pending == 1 && t[start - 1] == '-';
      if (digit || hex_group || (i - start == 3 && is_calendar_word(t.substr(start, 3)))) {
        if (!last_variable) out += variable;
        last_variable = true;
        pending = 0;
      } else {
        if (pending) out.append(t.substr(start - pending, pending));
        out.append(t.substr(start, i - start));
        last_variable = false;
        pending = 0;
      }
      continue;
    }
    if (last_variable && is_joiner(t[i])) {
      ++pending;
      ++i;
      continue;
    }
    if (pending) out.append(t.substr(i - pending, pending));
    pending = 0;
    last_variable = false;
    // A run of punctuation, copied at once.
    const std::size_t start = i;
    while (++i < t.size() && !is_word_byte(t[i]) && t[i] != '_' && t[i] != '-' && t[i] != '+') {
    }
    out.append(t.substr(start, i - start));
  }
  if (pending) out.append(t.substr(t.size() - pending, pending));
}

}  // namespace

namespace {

// A unit of size after a number: part of the variable (12 KB, 3.5 MB).
bool is_size_unit(std::string_view token) {
  static constexpr std::array<std::string_view, 10> units{"B",  "kB",  "KB",  "MB",  "GB",
                                                          "TB", "KiB", "MiB", "GiB", "TiB"};
  const std::string_view t = strip(token, no_chars, unit_close);
  return t.size() <= 3 && std::find(units.begin(), units.end(), t) != units.end();
}

}  // namespace

void line_key(std::string_view message, std::string& out) {
  out.clear();
  out.reserve(message.size());  // a key is seldom longer than its message
  std::size_t i = 0;
  while (i < message.size()) {
    while (i < message.size() && is_space(message[i])) ++i;
    const std::size_t start = i;
    while (i < message.size() && !is_space(message[i])) ++i;
    if (start == i) break;
    const std::string_view token = message.substr(start, i - start);
    if (out.ends_with(variable) && is_size_unit(token)) {
      out.append(token.substr(strip(token, no_chars, unit_close).size()));  // what follows the unit
      continue;
    }
    if (!out.empty()) out += ' ';
    append_token(token, out);
  }
}

// --- the grouper ---------------------------------------------------------

namespace {

std::uint64_t mix(std::uint64_t x) {
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ULL;
  return x ^ (x >> 32);
}

}  // namespace

Grouper::Grouper(std::size_t max_keys) : max_keys_(max_keys) {}

std::uint64_t Grouper::hash(std::string_view key) {
  std::uint64_t h = details::process_seed() ^ (key.size() * 0x9e3779b97f4a7c15ULL);
  std::size_t i = 0;
  for (; i + 8 <= key.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, key.data() + i, 8);
    h = mix(h ^ word) + i;
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, key.data() + i, key.size() - i);
  return mix(h ^ tail);
}

std::int32_t Grouper::slot_of(std::string_view key, std::uint64_t key_hash) const {
  const std::size_t mask = table_.size() - 1;
  for (std::size_t s = key_hash & mask;; s = (s + 1) & mask) {
    const std::int32_t id = table_[s];
    if (id < 0 || (hashes_[id] == key_hash && keys_[id] == key)) return static_cast<std::int32_t>(s);
  }
}

void Grouper::grow() {
  std::vector<std::int32_t> table(std::max<std::size_t>(64, table_.size() * 2), -1);
  table_.swap(table);
  const std::size_t mask = table_.size() - 1;
  for (std::size_t id = 0; id < keys_.size(); ++id) {
    std::size_t s = hashes_[id] & mask;
    while (table_[s] >= 0) s = (s + 1) & mask;
    table_[s] = static_cast<std::int32_t>(id);
  }
}

std::int32_t Grouper::find(std::string_view key, std::uint64_t key_hash) const {
  if (table_.empty()) return -1;
  return table_[static_cast<std::size_t>(slot_of(key, key_hash))];
}

std::int32_t Grouper::add(std::string_view key, std::uint64_t key_hash, std::uint64_t index) {
  ++lines_;
  if (table_.empty()) grow();
  std::size_t slot = static_cast<std::size_t>(slot_of(key, key_hash));
  std::int32_t id = table_[slot];
  if (id < 0) {
    if (full()) {
      ++unkeyed_;
      return -1;
    }
    id = static_cast<std::int32_t>(keys_.size());
    keys_.emplace_back(key);
    hashes_.push_back(key_hash);
    counts_.push_back(0);
    first_.push_back(index);
    table_[slot] = id;
    if (keys_.size() * 2 > table_.size()) grow();
  }
  ++counts_[static_cast<std::size_t>(id)];
  return id;
}

std::size_t Grouper::memory() const {
  std::size_t bytes = sizeof(*this) + table_.capacity() * sizeof(std::int32_t) +
                      (hashes_.capacity() + counts_.capacity() + first_.capacity()) * sizeof(std::uint64_t) +
                      keys_.capacity() * sizeof(std::string);
  for (const std::string& key : keys_) bytes += key.capacity() > 15 ? key.capacity() + 1 : 0;
  return bytes;
}

namespace {

// A capitalised or upper-case word and nothing else (quotes and brackets
// around it aside): Started, Paused, GET, POST. Such tokens at one place are
// most often a closed set of states or methods; lower-case words there are
// more often names (of users, hosts).
bool is_capital_word(std::string_view token) {
  const std::string_view t = strip(token, word_open, word_close);
  return !t.empty() && t.front() >= 'A' && t.front() <= 'Z' && std::all_of(t.begin(), t.end(), is_letter);
}

std::vector<std::string_view> tokens_of(std::string_view key) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  while (i <= key.size() && !key.empty()) {
    const std::size_t space = std::min(key.find(' ', i), key.size());
    tokens.push_back(key.substr(i, space - i));
    i = space + 1;
  }
  return tokens;
}

}  // namespace

Templates Grouper::templates(std::size_t min_values) const {
  // Patterns: token lists, each with the keys it stands for. Keys of one
  // length only ever merge with each other.
  struct Pattern {
    std::vector<std::string> tokens;
    std::vector<std::size_t> keys;
    std::uint64_t count = 0, first = 0;
  };
  std::map<std::size_t, std::vector<Pattern>> by_length;
  for (std::size_t id = 0; id < keys_.size(); ++id) {
    Pattern p;
    for (std::string_view t : tokens_of(keys_[id])) p.tokens.emplace_back(t);
    p.keys.push_back(id);
    p.count = counts_[id];
    p.first = first_[id];
    by_length[p.tokens.size()].push_back(std::move(p));
  }
  std::vector<Pattern> merged;
  for (auto& entry : by_length) {
    const std::size_t length = entry.first;
    std::vector<Pattern>& patterns = entry.second;
    // Fewer patterns than min_values never merge, and nor do keys of more
    // tokens than a message has: a pass over every place of every key costs
    // the square of its length (lines of megabytes).
    if (patterns.size() < min_values || length > max_merged_tokens) {
      for (Pattern& p : patterns) merged.push_back(std::move(p));
      continue;
    }
    // Merge at each place in turn, until a pass changes nothing. What is
    // merged depends on the set of patterns only, not on their order.
    for (bool changed = length > 0; changed;) {
      changed = false;
      for (std::size_t place = 0; place < length; ++place) {
        // Patterns alike but at `place`, and the tokens they have there.
        std::unordered_map<std::string, std::vector<std::size_t>> alike;
        std::string skeleton;
        for (std::size_t i = 0; i < patterns.size(); ++i) {
          // A place is variable only beside a constant token: messages of
          // one token, or of variables alone, never merge.
          bool constant = false;
          for (std::size_t j = 0; j < length; ++j)
            constant |= j != place && patterns[i].tokens[j] != variable;
          if (!constant) continue;
          skeleton.clear();
          for (std::size_t j = 0; j < length; ++j) {
            skeleton += j == place ? std::string_view("\x01") : std::string_view(patterns[i].tokens[j]);
            skeleton += '\x02';
          }
          alike[skeleton].push_back(i);
        }
        std::vector<bool> gone(patterns.size(), false);
        for (auto& [_, members] : alike) {
          if (members.size() < min_values) continue;
          // Capitalised words take more values to be a variable than the rest.
          const bool words = std::all_of(members.begin(), members.end(), [&](std::size_t m) {
            return is_capital_word(patterns[m].tokens[place]);
          });
          if (words && members.size() < capital_word_values * min_values) continue;
          std::size_t keep = members[0];
          for (std::size_t m : members)
            if (patterns[m].first < patterns[keep].first) keep = m;
          Pattern& into = patterns[keep];
          into.tokens[place] = std::string(variable);
          for (std::size_t m : members) {
            if (m == keep) continue;
            Pattern& from = patterns[m];
            into.keys.insert(into.keys.end(), from.keys.begin(), from.keys.end());
            into.count += from.count;
            into.first = std::min(into.first, from.first);
            gone[m] = true;
          }
          changed = true;
        }
        if (std::find(gone.begin(), gone.end(), true) != gone.end()) {
          std::vector<Pattern> kept;
          for (std::size_t i = 0; i < patterns.size(); ++i)
            if (!gone[i]) kept.push_back(std::move(patterns[i]));
          patterns.swap(kept);
        }
      }
      // Patterns made equal by merges at different places are one.
      std::map<std::vector<std::string>, std::size_t> seen;
      std::vector<Pattern> unique;
      for (Pattern& p : patterns) {
        const auto [it, fresh] = seen.emplace(p.tokens, unique.size());
        if (fresh) {
          unique.push_back(std::move(p));
          continue;
        }
        Pattern& into = unique[it->second];
        into.keys.insert(into.keys.end(), p.keys.begin(), p.keys.end());
        into.count += p.count;
        into.first = std::min(into.first, p.first);
      }
      patterns.swap(unique);
    }
    for (Pattern& p : patterns) merged.push_back(std::move(p));
  }
  std::sort(merged.begin(), merged.end(), [](const Pattern& a, const Pattern& b) {
    return a.count != b.count ? a.count > b.count : a.first < b.first;
  });
  Templates out;
  out.of_key.assign(keys_.size(), -1);
  for (std::size_t t = 0; t < merged.size(); ++t) {
    std::string text;
    for (std::size_t j = 0; j < merged[t].tokens.size(); ++j) {
      if (j) text += ' ';
      text += merged[t].tokens[j];
    }
    out.text.push_back(std::move(text));
    out.count.push_back(merged[t].count);
    out.first.push_back(merged[t].first);
    for (std::size_t id : merged[t].keys) out.of_key[id] = static_cast<std::int32_t>(t);
  }
  return out;
}

bool key_matches(std::string_view key, std::string_view template_text) {
  const std::vector<std::string_view> a = tokens_of(key), b = tokens_of(template_text);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (b[i] != variable && a[i] != b[i]) return false;
  return true;
}

}  // namespace semv
