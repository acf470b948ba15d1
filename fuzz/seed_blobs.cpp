// Writes the seed corpus for fuzz_blob into the directory given as argv[1]:
// canonical blobs of stores with every node kind, a few foreign blobs, and
// operation tokens.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "graph/blob.hpp"
#include "graph/node.hpp"
#include "graph/store.hpp"

namespace {

using namespace veltrix;

void write(const std::string& dir, const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(dir + "/" + name, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) {
        std::fprintf(stderr, "seed_blobs: cannot write %s/%s\n", dir.c_str(), name.c_str());
        std::exit(1);
    }
}

void write_text(const std::string& dir, const std::string& name, const std::string& text) {
    write(dir, name, std::vector<std::uint8_t>(text.begin(), text.end()));
}

NodeId add(GraphStore& s, NodeKey key) {
    auto r = s.intern(std::move(key));
    if (!r) {
        std::fprintf(stderr, "seed_blobs: intern rejected %llu\n", static_cast<unsigned long long>(r.error().id));
        std::exit(1);
    }
    return *r;
}

std::vector<std::uint8_t> blob(const GraphStore& s) {
    const auto outs = s.outputs();
    return serialize_with(s, outs);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: seed_blobs DIR\n");
        return 2;
    }
    const std::string dir = argv[1];

    GraphStore empty;
    write(dir, "empty.vir", blob(empty));

    GraphStore s;
    const NodeId x = add(s, NodeKey::source("x", ParamMap::make({{"n", ParamValue::Int(-3)},
                                                                 {"f", ParamValue::Float(-0.0)},
                                                                 {"b", ParamValue::Bool(true)},
                                                                 {"s", ParamValue::Str("q\"\\;=|%\xC3\xA9")}})));
    const NodeId y = add(s, NodeKey::source("y", ParamMap::make({{"nan", ParamValue::Float(std::bit_cast<double>(
                                                                              0x7FF0000000000042ULL))}})));
    const NodeId op = add(s, NodeKey::op("add", ParamMap::make({{"side", ParamValue::Str("r")}}), {x, y, x}));
    const NodeId red = add(s, NodeKey::reduction("sum", ParamMap::make({{"axis", ParamValue::Int(0)}}), {op}));
    const NodeId ext = add(s, NodeKey::external({"onnx", "sha256:00", "torch", "2.1", "f32->f32", "pre"}, {}, {red}));
    const NodeId ext2 = add(s, NodeKey::external({"k", "h", "f", "v", "io", std::nullopt}, {}, {ext}));
    const NodeId st = add(s, NodeKey::stage({ext2, x}, {StageOp{"op|neg", {StageRef::input(0)}},
                                                        StageOp{"op|mul|k=i2", {StageRef::member(0), StageRef::input(1)}}}));
    const NodeId ex = add(s, NodeKey::exchange(ParamMap::make({{"scheme", ParamValue::Str("hash")}}), {st}));
    const NodeId jn = add(s, NodeKey::join({}, {ex, y}));
    s.mark_output(jn);
    s.mark_output(red);
    write(dir, "all_kinds.vir", blob(s));
    const NodeId outs[] = {jn, x, jn};
    write(dir, "repeated_outputs.vir", serialize_with(s, outs));

    GraphStore chain;
    NodeId prev = add(chain, NodeKey::source("c"));
    for (int i = 0; i < 16; ++i) prev = add(chain, NodeKey::op(i % 2 ? "inc" : "dec", {}, {prev, prev}));
    chain.mark_output(prev);
    write(dir, "chain.vir", blob(chain));

    // What the rewrite rules act on: identities (single- and two-input),
    // commuted operations, fan-out for the fusion modes.
    GraphStore rules;
    const NodeId a = add(rules, NodeKey::source("a"));
    const NodeId b = add(rules, NodeKey::source("b"));
    auto identity = [](double scalar, const char* side) {
        return ParamMap::make({{"scalar", ParamValue::Float(scalar)}, {"side", ParamValue::Str(side)}});
    };
    const NodeId id1 = add(rules, NodeKey::op("add", identity(0.0, "r"), {a}));
    const NodeId id2 = add(rules, NodeKey::op("mul", identity(1.0, "l"), {id1, b}));
    const NodeId ab = add(rules, NodeKey::op("add", {}, {a, b}));
    const NodeId ba = add(rules, NodeKey::op("add", {}, {b, id2}));
    const NodeId fan = add(rules, NodeKey::op("maximum", {}, {ab, ba}));
    const NodeId u = add(rules, NodeKey::op("neg", {}, {fan}));
    const NodeId v = add(rules, NodeKey::op("abs", {}, {fan}));
    const NodeId w = add(rules, NodeKey::op("eq", {}, {u, v}));
    add(rules, NodeKey::op("add", identity(0.0, "l"), {}));  // an identity with no input
    rules.mark_output(w);
    rules.mark_output(ab);
    write(dir, "rules.vir", blob(rules));

    // Stages as a foreign blob may hold them: input references past the
    // stage's inputs, no members, labels that are not operation tokens, and
    // two stages with equal member counts but different members.
    GraphStore stages;
    const NodeId src = add(stages, NodeKey::source("s"));
    const NodeId s1 = add(stages, NodeKey::stage({src}, {StageOp{"op|neg", {StageRef::input(5)}}}));
    const NodeId s2 = add(stages, NodeKey::stage({s1}, {}));
    const NodeId s3 = add(stages, NodeKey::stage({s2, src}, {StageOp{"bad", {StageRef::input(1)}}}));
    const NodeId s4 = add(stages, NodeKey::stage({s3}, {StageOp{"op|abs", {StageRef::input(0)}}}));
    const NodeId top = add(stages, NodeKey::op("add", {}, {s4, s1}));
    stages.mark_output(top);
    write(dir, "stages.vir", blob(stages));

    // A foreign blob: unsorted parameters, a bool byte of 7, a repeated
    // record and trailing bytes.
    const std::vector<std::uint8_t> foreign = {
        'V', 'I', 'R', '1', 2, 0, 0, 0,                           // two records
        0, 1, 0, 0, 0, 'a', 2, 0, 0, 0,                           // Source "a", two params
        1, 0, 0, 0, 'z', 2, 7,                                    // z = Bool(7)
        1, 0, 0, 0, 'b', 0, 1, 0, 0, 0, 0, 0, 0, 0,               // b = Int(1)
        0, 1, 0, 0, 0, 'a', 2, 0, 0, 0,                           // the same record again
        1, 0, 0, 0, 'b', 0, 1, 0, 0, 0, 0, 0, 0, 0,
        1, 0, 0, 0, 'z', 2, 1,
        2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // outputs [0, 0]
        'x', 'x'};
    write(dir, "foreign.vir", foreign);

    write_text(dir, "token_op.txt", "op|add|scalar=f0000000000000000;side=sr");
    write_text(dir, "token_red.txt", "red|x|=s");
    write_text(dir, "token_escapes.txt", "op|a%3Bb%25|k%3D=sx%7Cy;j=i+5;b=btrue;f=fFF");
    return 0;
}
