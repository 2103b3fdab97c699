// The default space as a space value: the fixed vocabularies' names, lists
// and threshold, with no options. Built from it, a space runs on the fixed
// table layout and scores as the fixed functions do (the core's tests check
// both); everything above the core that scores "the default space" scores
// this one, so that no layer needs a path of its own for it.
#pragma once

#include <string>

#include "semv/space.hpp"
#include "semv/vocabulary.hpp"

namespace semv {

inline SpaceSpec default_space_spec() {
  SpaceSpec spec;
  for (std::size_t a = 0; a < axis_count; ++a) {
    AxisSpec axis{std::string(axis_names[a]), {}, score_threshold};
    for (std::string_view word : default_keyword_sources[a]) axis.keywords.emplace_back(word);
    spec.axes.push_back(std::move(axis));
  }
  return spec;
}

}  // namespace semv
