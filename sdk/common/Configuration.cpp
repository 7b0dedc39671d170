#include "common/Configuration.h"

#include <vector>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

namespace Configuration {

void ParseParameterString(Tree& tree, const std::string& text) {
  std::vector<std::string> pieces;
  boost::split(pieces, text, boost::is_any_of(";"));
  for (const auto& piece : pieces) {
    std::vector<std::string> parts;
    boost::split(parts, piece, boost::is_any_of("="));
    if (parts.size() == 2) tree.put(parts[0], parts[1]);
  }
}

std::string DeviceWords(const Tree& tree) {
  return boost::algorithm::to_lower_copy(tree.get<std::string>("device", ""));
}

const Tree* FindSection(const Tree& tree, const std::string& name) {
  const auto child = tree.get_child_optional(Tree::path_type(name, '\0'));
  return child ? &*child : nullptr;
}

}  // namespace Configuration
