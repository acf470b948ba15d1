// Times the core on one recorded pipeline read from an IR blob file: reading
// and writing the blob, interning, every pass of the reduction pipeline
// (canonicalize alone among them) and DOT rendering. Prints one JSON object
// with the median seconds of each phase.
//
//   bench_pipeline BLOB_FILE [RUNS] [cpu|wall]
//
// With --phases it reduces once, in this fresh process, and prints for every
// phase of the reduction its CPU time, the peak of the resident set above
// what it was when the reduction started, its minor page faults and its
// calls of operator new; and the store's own resident memory beside them.
// SOURCE is a blob file or groups:N, the five-step groups of
// bench/workload.py built in C++ (about N nodes).
//
//   bench_pipeline --phases SOURCE [reduce|finalize]
//
// (finalize: IncrementalReducer::finalize of a reducer that stepped over the
// whole store before the measurement.)
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "graph/blob.hpp"
#include "graph/dot.hpp"
#include "graph/store.hpp"
#include "optimizer/engine.hpp"
#include "optimizer/incremental.hpp"
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

// ---------------------------------------------------------------------------
// --phases

std::atomic<std::uint64_t> g_allocations{0};

std::int64_t proc_kb(const char* file, const char* field) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + std::string(field).size());
    }
    return -1;
}
std::int64_t rss_bytes() { return proc_kb("/proc/self/status", "VmRSS:") * 1024; }
std::int64_t peak_rss_bytes() { return proc_kb("/proc/self/status", "VmHWM:") * 1024; }
// Starts the peak resident set (VmHWM) over from the current one.
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }
std::int64_t minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}
double system_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_stime.tv_sec) + static_cast<double>(u.ru_stime.tv_usec) * 1e-6;
}

class PhaseMeter final : public PhaseObserver {
public:
    PhaseMeter() : base_rss_(rss_bytes()) { start(); }
    void phase_done(const char* phase) override {
        const double seconds = Clock::now() - t0_;
        const std::int64_t faults = minor_faults() - faults0_;
        const std::uint64_t allocations = g_allocations.load() - allocations0_;
        const std::int64_t peak = peak_rss_bytes() - base_rss_;
        rows_.push_back({phase, seconds, system_seconds() - system0_, peak, faults, allocations});
        start();
    }
    void print(const char* entry, std::size_t nodes, std::int64_t store_bytes) const {
        double seconds = 0;
        std::int64_t peak = 0;
        std::printf("{\"entry\": \"%s\", \"nodes\": %zu, \"store_bytes\": %lld, \"phases\": [", entry, nodes,
                    static_cast<long long>(store_bytes));
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            const Row& r = rows_[i];
            seconds += r.seconds;
            peak = std::max(peak, r.peak);
            std::printf("%s{\"phase\": \"%s\", \"seconds\": %.6f, \"system_seconds\": %.6f, \"peak_bytes\": %lld, "
                        "\"faults\": %lld, \"allocations\": %llu}",
                        i ? ", " : "", r.phase.c_str(), r.seconds, r.system, static_cast<long long>(r.peak),
                        static_cast<long long>(r.faults), static_cast<unsigned long long>(r.allocations));
        }
        std::printf("], \"seconds\": %.6f, \"peak_bytes\": %lld}\n", seconds, static_cast<long long>(peak));
    }

private:
    struct Row {
        std::string phase;
        double seconds;
        double system;  // of `seconds`, in the kernel
        std::int64_t peak;
        std::int64_t faults;
        std::uint64_t allocations;
    };
    void start() {
        reset_peak();
        faults0_ = minor_faults();
        allocations0_ = g_allocations.load();
        system0_ = system_seconds();
        t0_ = Clock::now();
    }
    std::int64_t base_rss_;
    double t0_ = 0;
    double system0_ = 0;
    std::int64_t faults0_ = 0;
    std::uint64_t allocations0_ = 0;
    std::vector<Row> rows_;
};

// The five-step groups of bench/workload.py (record_groups), about n nodes.
std::vector<NodeId> record_groups(GraphStore& store, std::size_t n) {
    constexpr std::size_t kSources = 64;
    std::vector<NodeId> sources;
    for (std::size_t i = 0; i < kSources; ++i) {
        sources.push_back(store.intern_basic(NodeKind::Source, "src" + std::to_string(i), {}, {}).value());
    }
    const ParamRef mul[] = {{"scalar", ParamTag::Float, std::bit_cast<std::uint64_t>(2.0), {}},
                            {"side", ParamTag::Str, 0, "r"}};
    const ParamRef axis[] = {{"axis", ParamTag::Int, 0, {}}};
    NodeId x = sources[0];
    auto add = [&](NodeKind kind, const char* name, ParamRefs params, std::initializer_list<NodeId> inputs) {
        return store.intern_basic(kind, name, params, std::span<const NodeId>(inputs.begin(), inputs.size())).value();
    };
    for (std::size_t g = 0; g < (n > kSources ? n - kSources : 0) / 5; ++g) {
        const NodeId s = sources[g % kSources];
        const NodeId a = add(NodeKind::Op, "add", {}, {x, s});
        const NodeId b = add(NodeKind::Op, "mul", mul, {a});
        const NodeId c = add(NodeKind::Op, "neg", {}, {b});
        const NodeId d = add(NodeKind::Reduction, "sum", axis, {c});
        x = add(NodeKind::Op, "add", {}, {s, d});
    }
    return {x};
}

int phases_main(const std::string& source, const std::string& entry) {
    std::unique_ptr<GraphStore> store;
    std::vector<NodeId> outputs;
    std::vector<std::uint8_t> blob;
    if (source.rfind("groups:", 0) != 0) {
        std::ifstream in(source, std::ios::binary);
        blob.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const std::int64_t before = rss_bytes();
    if (blob.empty()) {
        store = std::make_unique<GraphStore>();
        outputs = record_groups(*store, std::stoull(source.substr(7)));
    } else {
        auto decoded = deserialize(blob);
        if (!decoded) {
            std::fprintf(stderr, "bad blob: %s\n", decoded.error().message().c_str());
            return 1;
        }
        store = std::move(decoded.value());
        outputs = store->outputs();
    }
    const std::int64_t store_bytes = rss_bytes() - before;
    std::vector<std::uint8_t>().swap(blob);
    const std::size_t nodes = store->node_count();

    const SaturationEngine engine;
    // "finalize" steps the reducer over the store first, as run.py's scale
    // figure does: its canonical form, like the store, is there before.
    IncrementalReducer reducer;
    if (entry == "finalize") (void)reducer.step(*store);
    PhaseMeter meter;
    if (entry == "finalize") {
        keep(reducer.finalize(*store, outputs, engine, FusionRule::SingleUse, &meter));
    } else {
        keep(reduce_with_outputs(*store, outputs, engine, FusionRule::SingleUse, &meter));
    }
    meter.print(entry.c_str(), nodes, store_bytes);
    return 0;
}

}  // namespace

void* operator new(std::size_t bytes) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--phases") return phases_main(argv[2], argc > 3 ? argv[3] : "reduce");
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
            ReductionResult result = reduce_with(store, engine, FusionRule::SingleUse);
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
        InputGraph input = InputGraph::of(snap.nodes);
        phases.add("pass_input_graph", since(t0));
        t0 = Clock::now();
        DceResult kept = dead_code_elimination(input, snap.outputs);
        phases.add("pass_dce", since(t0));
        t0 = Clock::now();
        const KeptGraph engine_graph = to_engine_graph(std::move(input), kept);
        phases.add("pass_engine_graph", since(t0));
        t0 = Clock::now();
        Canonical canonical = engine.canonicalize(engine_graph.graph);
        phases.add("canonicalize", since(t0));
        t0 = Clock::now();
        CseResult dedup = cse(canonical.graph);
        phases.add("pass_cse", since(t0));
        canonical_nodes = dedup.graph.size();
        t0 = Clock::now();
        FusionResult fused = stage_fusion(dedup.graph, engine_graph.tokens, FusionRule::SingleUse);
        phases.add("pass_fusion", since(t0));
        keep(fused);

        // The pure pipeline, then building the reduced store from its result.
        t0 = Clock::now();
        Reduced reduced = reduce_with_mode(snap.nodes, snap.outputs, engine, FusionRule::SingleUse);
        phases.add("reduce_with_mode", since(t0));
        t0 = Clock::now();
        ReductionResult built = from_reduced(std::move(reduced));
        phases.add("from_reduced", since(t0));
        keep(built);

    }
    phases.print(nodes, blob.size(), canonical_nodes);
    return 0;
}
