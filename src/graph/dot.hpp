// Graphviz DOT rendering of a graph store.
#pragma once

#include <string>
#include <string_view>

#include "graph/store.hpp"

namespace veltrix {

// Appends `label` with backslashes doubled and double quotes escaped; every
// other character passes through unchanged.
void append_dot_escaped(std::string& out, std::string_view label);

// One node statement per node (outputs drawn as double circles), then one
// edge statement per input edge, both in id order. Rendered under the
// store's lock, so the text shows one consistent state.
std::string to_dot(const GraphStore& store);

}  // namespace veltrix
