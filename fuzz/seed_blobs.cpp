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
