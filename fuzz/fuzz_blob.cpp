// Coverage-guided fuzzer for the blob reader, the token grammar and the DOT
// renderer. Any broken property aborts with a message.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

#include "graph/blob.hpp"
#include "graph/dot.hpp"
#include "graph/node.hpp"
#include "graph/param.hpp"
#include "graph/store.hpp"

namespace {

using namespace veltrix;

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz_blob: %s\n", what.c_str());
    std::abort();
}

// Decoded stores re-encode canonically: the canonical bytes decode to the
// same nodes and marks and encode to themselves.
void check_blob(std::span<const std::uint8_t> input) {
    auto decoded = deserialize(input);
    if (!decoded) {
        if (decoded.error().message().empty()) fail("empty decode error message");
        return;
    }
    const GraphStore& store = **decoded;
    const Snapshot snap = store.snapshot();
    const std::vector<std::uint8_t> first = serialize_nodes(snap.nodes, snap.outputs);
    // Normalisation only ever drops bytes (merged records, repeated outputs,
    // trailing data); every field keeps its width.
    if (first.size() > input.size()) fail("canonical form is longer than the input");

    auto again = deserialize(first);
    if (!again) fail("canonical blob rejected: " + again.error().message());
    const Snapshot snap2 = (*again)->snapshot();
    if (snap2.outputs != snap.outputs) fail("marks changed through a round trip");
    if (snap2.nodes.size() != snap.nodes.size()) fail("node count changed through a round trip");
    for (std::size_t i = 0; i < snap.nodes.size(); ++i) {
        if (!(snap.nodes[i] == snap2.nodes[i])) fail("node " + std::to_string(i) + " changed through a round trip");
    }
    const std::vector<std::uint8_t> second = serialize_with(**again, snap2.outputs);
    if (second != first) fail("second encoding differs from the first");
    if (!(*again)->node_map().empty()) fail("decoded store has a node map");

    const std::string dot = to_dot(store);
    if (dot.rfind("digraph veltrix {\n", 0) != 0 || dot.size() < 20 || dot.compare(dot.size() - 2, 2, "}\n") != 0) {
        fail("malformed DOT text");
    }

    // Tokens of operations parse back to their name and parameters.
    for (const NodeKey& key : snap.nodes) {
        if (key.kind() != NodeKind::Op && key.kind() != NodeKind::Reduction) continue;
        auto parsed = parse_op_token(key.token());
        if (!parsed) fail("token of a decoded operation does not parse: " + key.token());
        if (parsed->name != key.name() || !(parsed->params == key.params())) fail("token parse lost data");
        if (parsed->kind != (key.kind() == NodeKind::Op ? "op" : "red")) fail("token parse changed the kind");
    }
}

// The input as text: escaping is invertible, and whatever parses as an
// operation token re-tokenises to the same meaning.
void check_text(std::string_view text) {
    if (unescape_token(escape_token(text)) != text) fail("unescape(escape(x)) != x");
    auto parsed = parse_op_token(text);
    if (!parsed) return;
    if (parsed->kind != "op" && parsed->kind != "red") fail("parse_op_token returned kind " + parsed->kind);
    const NodeKey key = parsed->kind == "op" ? NodeKey::op(parsed->name, parsed->params, {})
                                             : NodeKey::reduction(parsed->name, parsed->params, {});
    auto reparsed = parse_op_token(key.token());
    if (!reparsed) fail("re-tokenised operation does not parse: " + key.token());
    if (reparsed->kind != parsed->kind || reparsed->name != parsed->name || !(reparsed->params == parsed->params)) {
        fail("re-tokenised operation parses differently");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    check_blob(input);
    check_text(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
