// Writes fuzz_blob's seed corpus into argv[1]: blobs of stores with every node kind, foreign blobs, op tokens.
#include <fstream>
#include <stdexcept>

#include "graph/blob.hpp"

namespace {

using namespace veltrix;
using R = StageRef;

// A store built from keys, operations and parameters written as tokens.
struct Store {
    GraphStore s;
    NodeId add(NodeKey key) { return s.intern(std::move(key)).value(); }
    static ParamMap params(const char* token) { return parse_op_token(std::string("op|x|") + token)->params; }
    NodeId op(const char* token, std::vector<NodeId> in) {
        auto p = parse_op_token(token);
        return add(p->kind == "op" ? NodeKey::op(p->name, p->params, in) : NodeKey::reduction(p->name, p->params, in));
    }
    std::vector<std::uint8_t> blob(std::vector<NodeId> outputs = {}) {
        for (NodeId id : outputs) s.mark_output(id);
        return serialize_with(s, s.outputs());
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) throw std::runtime_error("usage: seed_blobs DIR");
    auto write = [dir = std::string(argv[1])](const char* name, const auto& bytes) {
        if (!std::ofstream(dir + "/" + name, std::ios::binary).write((const char*)bytes.data(), bytes.size()))
            throw std::runtime_error(name);
    };
    write("empty.vir", Store().blob());

    // Every kind: parameters of every type (a NaN with a payload, -0), both descriptor forms, a stage with member
    // references, outputs out of order.
    Store all;
    const NodeId x =
        all.add(NodeKey::source("x", Store::params("n=i-3;f=f8000000000000000;b=btrue;s=sq\"\\%3B%3D%7C%25\xC3\xA9")));
    const NodeId y = all.add(NodeKey::source("y", Store::params("nan=f7ff0000000000042")));
    const NodeId red = all.op("red|sum|axis=i0", {all.op("op|add|side=sr", {x, y, x})});
    const NodeId ext = all.add(NodeKey::external({"onnx", "sha256:00", "torch", "2.1", "f32->f32", "pre"}, {}, {red}));
    const NodeId ext2 = all.add(NodeKey::external({"k", "h", "f", "v", "io", std::nullopt}, {}, {ext}));
    const NodeId st = all.add(NodeKey::stage({ext2, x}, {StageOp{"op|neg", {R::input(0)}},
                                                          StageOp{"op|mul|k=i2", {R::member(0), R::input(1)}}}));
    const NodeId jn = all.add(NodeKey::join({}, {all.add(NodeKey::exchange(Store::params("scheme=shash"), {st})), y}));
    write("all_kinds.vir", all.blob({jn, red}));
    write("repeated_outputs.vir", serialize_with(all.s, std::vector<NodeId>{jn, x, jn}));

    Store chain;
    NodeId prev = chain.add(NodeKey::source("c"));
    for (int i = 0; i < 16; ++i) prev = chain.op(i % 2 ? "op|inc" : "op|dec", {prev, prev});
    write("chain.vir", chain.blob({prev}));

    // What the rewrite rules act on: identities (1, 2 and no inputs), commuted operations, fan-out for fusion.
    Store rules;
    const NodeId a = rules.add(NodeKey::source("a")), b = rules.add(NodeKey::source("b"));
    const NodeId id1 = rules.op("op|add|scalar=f0000000000000000;side=sr", {a});
    const NodeId id2 = rules.op("op|mul|scalar=f3ff0000000000000;side=sl", {id1, b});
    const NodeId ab = rules.op("op|add", {a, b});
    const NodeId fan = rules.op("op|maximum", {ab, rules.op("op|add", {b, id2})});
    const NodeId w = rules.op("op|eq", {rules.op("op|neg", {fan}), rules.op("op|abs", {fan})});
    rules.op("op|add|scalar=f0000000000000000;side=sl", {});
    write("rules.vir", rules.blob({w, ab}));

    // Stages as a foreign blob may hold them: input references past the stage's inputs, no members, labels that
    // are not operation tokens, and two stages with equal member counts but different members.
    Store stg;
    const NodeId src = stg.add(NodeKey::source("s"));
    const NodeId s1 = stg.add(NodeKey::stage({src}, {StageOp{"op|neg", {R::input(5)}}}));
    const NodeId s3 = stg.add(NodeKey::stage({stg.add(NodeKey::stage({s1}, {})), src}, {StageOp{"bad", {R::input(1)}}}));
    const NodeId s4 = stg.add(NodeKey::stage({s3}, {StageOp{"op|abs", {R::input(0)}}}));
    write("stages.vir", stg.blob({stg.op("op|add", {s4, s1})}));

    // A foreign blob: unsorted parameters, a bool byte of 7, a repeated record, a repeated output, trailing bytes.
    write("foreign.vir", std::vector<std::uint8_t>{
        'V', 'I', 'R', '1', 2, 0, 0, 0,                                               // two records
        0, 1, 0, 0, 0, 'a', 2, 0, 0, 0, 1, 0, 0, 0, 'z', 2, 7,                        // Source "a", z = Bool(7),
        1, 0, 0, 0, 'b', 0, 1, 0, 0, 0, 0, 0, 0, 0,                                   // b = Int(1)
        0, 1, 0, 0, 0, 'a', 2, 0, 0, 0, 1, 0, 0, 0, 'b', 0, 1, 0, 0, 0, 0, 0, 0, 0,  // the same record again
        1, 0, 0, 0, 'z', 2, 1,
        2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'x', 'x'});      // outputs [0, 0]
    write("token_op.txt", std::string("op|add|scalar=f0000000000000000;side=sr"));
    write("token_red.txt", std::string("red|x|=s"));
    write("token_escapes.txt", std::string("op|a%3Bb%25|k%3D=sx%7Cy;j=i+5;b=btrue;f=fFF"));
}
