// libFuzzer target: log lines grouped into templates, on any bytes. The input
// is cut into lines at '\n'; each line's header, key and template are checked
// for what holds whatever the bytes:
//   - the header ends within the line;
//   - a key is tokens joined by single spaces, no space at either end, and
//     the key of a key is the key itself (keys are fixed points);
//   - every key matches the template it is merged into, the counts of the
//     templates add up to the lines counted, and no template's first line
//     comes after a line of its keys;
//   - a grouper of a few keys counts the lines of new keys apart, and loses
//     none.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "semv/grouping.hpp"

namespace {

void fail(const char* what) {
  std::fprintf(stderr, "grouping fuzzer: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start <= input.size();) {
    const std::size_t end = std::min(input.find('\n', start), input.size());
    lines.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  std::vector<std::string> keys(lines.size());
  std::string again;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::size_t header = semv::header_length(lines[i]);
    if (header > lines[i].size()) fail("the header ends past the line");
    semv::line_key(lines[i].substr(header), keys[i]);
    const std::string& key = keys[i];
    if (!key.empty() && (key.front() == ' ' || key.back() == ' ')) fail("a key starts or ends with a space");
    if (key.find("  ") != std::string::npos) fail("a key holds two spaces in a row");
    semv::line_key(key, again);
    if (again != key) {
      std::fprintf(stderr, "key:   [%s]\nagain: [%s]\n", key.c_str(), again.c_str());
      fail("the key of a key is not the key");
    }
  }
  semv::Grouper whole, small(1 + size % 7);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const std::uint64_t h = semv::Grouper::hash(keys[i]);
    whole.add(keys[i], h, i);
    small.add(keys[i], h, i);
  }
  const semv::Templates t = whole.templates();
  std::uint64_t counted = 0;
  for (std::uint64_t c : t.count) counted += c;
  if (counted != whole.lines() || whole.unkeyed() != 0) fail("the templates' counts are not the lines");
  for (std::size_t id = 0; id < whole.key_count(); ++id) {
    const std::int32_t kind = t.of_key[id];
    if (kind < 0 || !semv::key_matches(whole.key(id), t.text[static_cast<std::size_t>(kind)]))
      fail("a key does not match its template");
    if (t.first[static_cast<std::size_t>(kind)] > whole.key_first(id))
      fail("a template's first line is late");
  }
  counted = 0;
  for (std::uint64_t c : small.templates().count) counted += c;
  if (counted + small.unkeyed() != small.lines()) fail("lines counted apart are lost");
  return 0;
}
