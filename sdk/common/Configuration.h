#pragma once

#include <string>

#include <boost/property_tree/ptree.hpp>

namespace Configuration {

using Tree = boost::property_tree::ptree;

// Applies "key=value" pieces separated by ";" on top of a device set's INI
// section. A piece without exactly one "=" is ignored; a "." in a key names a
// nested key.
void ParseParameterString(Tree& tree, const std::string& text);

// The "device" value lowered character by character: the words every factory
// searches as substrings.
std::string DeviceWords(const Tree& tree);

// The child named exactly by name (a "." in it is not a path separator).
const Tree* FindSection(const Tree& tree, const std::string& name);

}  // namespace Configuration
