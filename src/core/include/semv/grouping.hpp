// Grouping log lines into templates: the message part of a line (its header
// of times, levels, hosts and program names found by shape), the line's key
// (its tokens, each variable part written "<*>"), and a grouper that counts
// keys and merges them into templates. Lines are bytes of UTF-8; nothing here
// depends on the order in which lines are cut into blocks or threads: the
// templates are a function of the keys, their counts and first lines alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace semv {

// Where the header in front of a line ends, in bytes: 0 when none is
// recognised. Recognised: dates and times in the common forms, weekday and
// month names, levels (INFO, [error], ...), process ids, bracketed dates and
// levels, a host name or two between them, and the program or class that
// ends it ("sshd[42]:", "dfs.DataNode$PacketResponder:", "nova.api [req-1]"),
// and pipe-separated fields ("20171223-22:15:29:606|Step_LSC|3002|...").
std::size_t header_length(std::string_view line);

// Where the part of a line worth scoring starts: after its header, or at the
// header's level where that level says something went wrong ("ERROR: disk
// full" keeps "ERROR"), since a reader triaging the line reads it too.
std::size_t message_start(std::string_view line);

// The template written for every variable part of a key.
inline constexpr std::string_view variable = "<*>";

// The key of a message into `out` (cleared first): its whitespace-separated
// tokens joined by single spaces, with every variable part written "<*>":
// runs of letters and digits that hold a digit (numbers, hex, addresses,
// versions, sizes, durations, ids) with the separators between them, and
// whole tokens that are paths, URLs, e-mail addresses or long hex strings.
void line_key(std::string_view message, std::string& out);

struct Templates {
  std::vector<std::string> text;     // by count, most first; then by first line
  std::vector<std::uint64_t> count;  // lines of each template
  std::vector<std::uint64_t> first;  // the index of its first line
  std::vector<std::int32_t> of_key;  // the template of each key
};

// Counts the keys of lines, in line order, and merges them into templates.
// Memory grows with the number of distinct keys, which is bounded: once
// max_keys keys are held, lines with a key not held yet are counted apart
// (unkeyed) and their key id is -1.
class Grouper {
 public:
  // Far above the kinds of any real log, far below what lines without any
  // structure would make.
  static constexpr std::size_t default_max_keys = std::size_t{1} << 18;

  explicit Grouper(std::size_t max_keys = default_max_keys);

  // The seeded hash of a key (the same for the life of the process).
  static std::uint64_t hash(std::string_view key);

  // Adds the line `index` with its key (hashed by hash()); the key's id, or
  // -1 when the key is new and the table full. Throws std::bad_alloc.
  std::int32_t add(std::string_view key, std::uint64_t key_hash, std::uint64_t index);

  // The id of a key held, or -1.
  std::int32_t find(std::string_view key, std::uint64_t key_hash) const;

  // As add(), for a key looked up with find() while no key was added: a key
  // found is counted by its id, without a second lookup.
  std::int32_t add_found(std::int32_t found, std::string_view key, std::uint64_t key_hash,
                         std::uint64_t index) {
    if (found < 0) return add(key, key_hash, index);
    ++lines_;
    ++counts_[static_cast<std::size_t>(found)];
    return found;
  }

  std::size_t key_count() const { return keys_.size(); }
  std::string_view key(std::size_t id) const { return keys_[id]; }
  std::uint64_t key_lines(std::size_t id) const { return counts_[id]; }
  std::uint64_t key_first(std::size_t id) const { return first_[id]; }
  std::uint64_t unkeyed() const { return unkeyed_; }
  std::uint64_t lines() const { return lines_; }
  bool full() const { return keys_.size() >= max_keys_; }
  std::size_t memory() const;

  // The templates of the keys held: keys that differ in one token only,
  // where min_values or more different tokens stand, become one template
  // with "<*>" there, again until nothing changes. Throws std::bad_alloc.
  Templates templates(std::size_t min_values = default_min_values) const;

  // Keys of this many different tokens at one place, the rest alike, are one
  // template: two are a choice (opened, closed), three a variable.
  static constexpr std::size_t default_min_values = 3;
  // Capitalised words at a place (Started, Paused, Resumed; GET, POST) are a
  // variable only with this many times as many values.
  static constexpr std::size_t capital_word_values = 2;
  // Keys of more tokens than this are templates as they are: far longer than
  // any message, and merging them costs the square of their length.
  static constexpr std::size_t max_merged_tokens = 256;

 private:
  std::int32_t slot_of(std::string_view key, std::uint64_t key_hash) const;
  void grow();

  std::size_t max_keys_;
  std::vector<std::string> keys_;
  std::vector<std::uint64_t> hashes_, counts_, first_;
  std::vector<std::int32_t> table_;  // open addressing: key ids, -1 for empty
  std::uint64_t unkeyed_ = 0, lines_ = 0;
};

// Whether a key matches a template: the same number of tokens, each equal or
// "<*>" in the template.
bool key_matches(std::string_view key, std::string_view template_text);

}  // namespace semv
