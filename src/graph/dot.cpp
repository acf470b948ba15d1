#include "graph/dot.hpp"

#include <unordered_map>
#include <vector>

namespace veltrix {

void append_dot_escaped(std::string& out, std::string_view label) {
    for (char c : label) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
}

std::string to_dot(const GraphStore& store) {
    return store.read_locked([](const NodeView& nodes, std::span<const NodeId> outputs) {
        // A bitmap keeps the output test constant per node however many
        // outputs there are.
        std::vector<bool> is_output(nodes.size(), false);
        for (NodeId id : outputs) {
            if (id < is_output.size()) is_output[id] = true;
        }

        // A label depends only on the key's head: nodes that share a head
        // share its escaped label, built once.
        std::unordered_map<const void*, std::string> labels;
        std::string out = "digraph veltrix {\n";
        for (std::size_t id = 0; id < nodes.size(); ++id) {
            out += "  n";
            out += std::to_string(id);
            out += " [label=\"";
            auto [it, fresh] = labels.try_emplace(nodes[id].head_identity());
            if (fresh) append_dot_escaped(it->second, nodes[id].label());
            out += it->second;
            out += '"';
            if (is_output[id]) out += ", shape=doublecircle";
            out += "];\n";
        }
        for (std::size_t id = 0; id < nodes.size(); ++id) {
            const std::string target = std::to_string(id);
            for (NodeId input : nodes[id].inputs()) {
                out += "  n";
                out += std::to_string(input);
                out += " -> n";
                out += target;
                out += ";\n";
            }
        }
        out += "}\n";
        return out;
    });
}

}  // namespace veltrix
