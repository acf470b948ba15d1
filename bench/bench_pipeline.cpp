// Times the core on one recorded pipeline read from an IR blob file: reading
// and writing the blob, interning, every pass of the reduction pipeline
// (canonicalize alone among them) and DOT rendering. Prints one JSON object
// with the median seconds of each phase.
//
//   bench_pipeline BLOB_FILE [RUNS] [cpu|wall]
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "graph/blob.hpp"
#include "graph/dot.hpp"
#include "graph/store.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/passes.hpp"
#include "optimizer/pipeline.hpp"
#include "optimizer/saturation_engine.hpp"

using namespace veltrix;

namespace {

// The thread's CPU clock by default (time spent descheduled on a shared
// machine is not the code's cost); "wall" as third argument for the wall clock.
bool g_wall = false;

struct Clock {
    using time_point = double;
    static double now() {
        timespec ts{};
        clock_gettime(g_wall ? CLOCK_MONOTONIC : CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
};

double since(double t0) { return Clock::now() - t0; }

// Keeps a value alive and observable so the optimiser cannot drop the work.
template <class T>
void keep(const T& v) {
    asm volatile("" : : "g"(&v) : "memory");
}

class Phases {
public:
    void add(const std::string& name, double seconds) { samples_[name].push_back(seconds); }
    void print(std::size_t nodes, std::size_t blob_bytes, std::size_t canonical_nodes) {
        std::printf("{\"nodes\": %zu, \"blob_bytes\": %zu, \"canonical_nodes\": %zu, \"median_seconds\": {", nodes,
                    blob_bytes, canonical_nodes);
        bool first = true;
        for (auto& [name, v] : samples_) {
            std::sort(v.begin(), v.end());
            std::printf("%s\"%s\": %.9f", first ? "" : ", ", name.c_str(), v[v.size() / 2]);
            first = false;
        }
        std::printf("}}\n");
    }

private:
    std::map<std::string, std::vector<double>> samples_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s BLOB_FILE [RUNS] [cpu|wall]\n", argv[0]);
        return 2;
    }
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    g_wall = argc > 3 && std::string(argv[3]) == "wall";
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<std::uint8_t> blob((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (blob.empty()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }

    Phases phases;
    const SaturationEngine engine;
    std::size_t nodes = 0;
    std::size_t canonical_nodes = 0;
    for (int r = 0; r < runs; ++r) {
        auto t0 = Clock::now();
        auto decoded = deserialize(blob);
        phases.add("deserialize", since(t0));
        if (!decoded) {
            std::fprintf(stderr, "bad blob: %s\n", decoded.error().message().c_str());
            return 1;
        }
        const GraphStore& store = *decoded.value();

        t0 = Clock::now();
        Snapshot snap = store.snapshot();
        phases.add("snapshot", since(t0));
        nodes = snap.nodes.size();

        // The whole reduction as the binding runs it, before the other
        // phases leave their data around.
        {
            t0 = Clock::now();
            ReductionResult result = reduce_with(store, engine, false);
            phases.add("reduce_with", since(t0));
            keep(result);
        }

        t0 = Clock::now();
        std::vector<std::uint8_t> again = serialize_nodes(snap.nodes, snap.outputs);
        phases.add("serialize", since(t0));
        if (again != blob) {
            std::fprintf(stderr, "blob does not round-trip\n");
            return 1;
        }

        // Interning alone: fresh keys into an empty store, then the same keys again.
        {
            std::vector<NodeKey> keys = snap.nodes;
            std::vector<NodeKey> again_keys = snap.nodes;
            GraphStore fresh;
            t0 = Clock::now();
            for (NodeKey& k : keys) keep(fresh.intern(std::move(k)));
            phases.add("intern_new", since(t0));
            t0 = Clock::now();
            for (NodeKey& k : again_keys) keep(fresh.intern(std::move(k)));
            phases.add("intern_existing", since(t0));
        }

        t0 = Clock::now();
        std::string dot = to_dot(store);
        phases.add("to_dot", since(t0));
        keep(dot);

        // The pipeline, pass by pass, as reduce_with_mode runs it.
        t0 = Clock::now();
        DceResult kept = dead_code_elimination(snap.nodes, snap.outputs);
        phases.add("pass_dce", since(t0));
        t0 = Clock::now();
        const EngineGraph engine_graph = to_engine_graph(kept.nodes, kept.outputs);
        phases.add("pass_engine_graph", since(t0));
        t0 = Clock::now();
        const TokenTable tokens(kept.nodes, engine_graph);
        phases.add("pass_token_table", since(t0));
        t0 = Clock::now();
        Canonical canonical = engine.canonicalize(engine_graph);
        phases.add("canonicalize", since(t0));
        t0 = Clock::now();
        CseResult dedup = cse(canonical.graph);
        phases.add("pass_cse", since(t0));
        canonical_nodes = dedup.graph.nodes.size();
        t0 = Clock::now();
        FusionResult fused = stage_fusion(dedup.graph, tokens, false);
        phases.add("pass_fusion", since(t0));
        keep(fused);

        // The pure pipeline, then building the reduced store from its result.
        t0 = Clock::now();
        Reduced reduced = reduce_with_mode(snap.nodes, snap.outputs, engine, false);
        phases.add("reduce_with_mode", since(t0));
        t0 = Clock::now();
        ReductionResult built = from_reduced(std::move(reduced));
        phases.add("from_reduced", since(t0));
        keep(built);

    }
    phases.print(nodes, blob.size(), canonical_nodes);
    return 0;
}
