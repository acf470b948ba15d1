// Small helpers shared by the optimizer tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "graph/node.hpp"
#include "graph/store.hpp"
#include "optimizer/engine.hpp"

namespace veltrix::test_support {

inline NodeKey src(std::string name) { return NodeKey::source(std::move(name)); }
inline NodeKey op(std::string name, std::vector<NodeId> in) { return NodeKey::op(std::move(name), {}, std::move(in)); }
inline NodeKey red(std::string name, std::vector<NodeId> in) {
    return NodeKey::reduction(std::move(name), {}, std::move(in));
}
inline StageRef I(std::size_t i) { return StageRef::input(i); }
inline StageRef M(std::size_t i) { return StageRef::member(i); }

// The keys of a pass result as a plain vector, to compare with expected lists.
inline std::vector<NodeKey> keys(const LargeVector<NodeKey>& v) { return {v.begin(), v.end()}; }

// Answers with the graph it was given.
class IdentityEngine final : public RewriteEngine {
public:
    Canonical canonicalize(const EngineGraph& graph) const override {
        Canonical c{EngineGraph(graph.labels()), {}};
        for (std::size_t i = 0; i < graph.size(); ++i) {
            c.graph.add(graph.label_id(i), graph.inputs(i));
            c.map.push_back(static_cast<std::uint32_t>(i));
        }
        c.graph.outputs = graph.outputs;
        return c;
    }
};

// The message of the internal failure that `f` raises.
inline std::string failure_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalFailure& e) {
        return e.what();
    }
    return "<no failure>";
}

}  // namespace veltrix::test_support

// Helpers of the graph, blob and DOT tests.
namespace veltrix::graph_testing {

inline ParamMap params(std::vector<ParamEntry> e) { return ParamMap::make(std::move(e)); }
inline ParamMap side(const char* s) { return params({{"side", ParamValue::Str(s)}}); }

inline NodeId must(Result<NodeId, BadNodeId> r) {
    EXPECT_TRUE(r) << "intern rejected id " << r.error().id;
    return r ? *r : 0;
}

// Hand-made blob bytes, little-endian like the format.
struct Blob {
    std::vector<std::uint8_t> b;
    Blob& raw(std::string_view s) { return b.insert(b.end(), s.begin(), s.end()), *this; }
    Blob& u8(std::uint8_t v) { return b.push_back(v), *this; }
    Blob& u32(std::uint32_t v) { return u8(v & 0xFF).u8(v >> 8 & 0xFF).u8(v >> 16 & 0xFF).u8(v >> 24); }
    Blob& u64(std::uint64_t v) { return u32(std::uint32_t(v)).u32(std::uint32_t(v >> 32)); }
    Blob& str(std::string_view s) { return u32(std::uint32_t(s.size())).raw(s); }
    Blob& ids(std::initializer_list<std::uint64_t> ids) {
        for (u32(std::uint32_t(ids.size())); auto id : ids) u64(id);
        return *this;
    }
    Blob& header(std::uint32_t n) { return raw("VIR1").u32(n); }
    Blob& source(std::string_view name) { return u8(0).str(name).u32(0); }  // without parameters
    Blob& op(std::string_view name, std::initializer_list<std::uint64_t> in) { return u8(1).str(name).u32(0).ids(in); }
};

}  // namespace veltrix::graph_testing
