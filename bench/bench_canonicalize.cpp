// Times SaturationEngine::canonicalize on generated pipelines of 10^4, 10^5
// and 10^6 nodes and prints the median of several runs (more for a graph
// under 10^5 nodes).
//
//   bench_canonicalize [runs] [sizes... | blob files...]
//
// A size generates a pipeline; an argument naming a file reads a recorded
// IR blob and canonicalizes what dead-code elimination keeps of it.
//
// Wall-clock and thread CPU time are both shown (the CPU figure is the one
// to trust on a shared machine). Beside every call a baseline is timed:
// independent random reads spread over as many bytes per node as the
// e-graph takes, on the same kind of pages. Its growth from the first size
// to the last is what the machine's memory alone charges for the larger
// working set in this run, so a busy host shows in it. BENCH_TRACE=1 adds
// per-phase and per-iteration timings of the last run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "graph/blob.hpp"
#include "graph/support.hpp"
#include "optimizer/passes.hpp"
#include "optimizer/saturation_engine.hpp"

using namespace veltrix;

namespace {

double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

// The baseline: 4-byte reads at random over about 100 bytes per node (the
// e-graph's records, parent entries, links and table), 16 reads per node.
constexpr std::size_t kBaselineBytesPerNode = 100;
constexpr std::size_t kBaselineReadsPerNode = 16;
volatile std::uint32_t baseline_sink;

// Thread CPU nanoseconds per read of `reads` independent random reads.
double random_read_ns(const LargeVector<std::uint32_t>& area, std::size_t reads) {
    std::uint64_t x = 0x9e3779b97f4a7c15ULL;
    std::uint32_t sum = 0;
    const double c0 = thread_cpu_ms();
    for (std::size_t r = 0; r < reads; ++r) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        sum += area[static_cast<std::size_t>((static_cast<unsigned __int128>(x) * area.size()) >> 64)];
    }
    const double ms = thread_cpu_ms() - c0;
    baseline_sink = sum;
    return ms * 1e6 / static_cast<double>(reads);
}

const char* const kCommutative[] = {"op|add", "op|mul", "op|and", "op|or", "op|eq", "op|ne", "op|maximum", "op|minimum"};
const char* const kIdentity[] = {
    "op|add|scalar=f0000000000000000;side=sr",
    "op|add|scalar=f0000000000000000;side=sl",
    "op|mul|scalar=f3ff0000000000000;side=sr",
    "op|mul|scalar=f3ff0000000000000;side=sl",
};
const char* const kUnary[] = {"op|neg", "op|exp", "op|log", "op|abs", "op|sqrt", "op|relu"};

// Sources (5%), commutative binary ops without parameters (45%, a third of
// them the swapped twin of an earlier one), identity ops (15%) and other
// unary ops (35%). Operands mostly come from the recent past, as in a
// recorded pipeline, sometimes from anywhere before.
EngineGraph generate(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    auto below = [&](std::size_t k) { return static_cast<std::size_t>(rng() % k); };
    auto operand = [&](std::size_t i) -> std::uint64_t {
        if (below(10) < 7) return i - 1 - below(std::min<std::size_t>(i, 64));
        return below(i);
    };
    EngineGraph g;
    g.reserve(n, 2 * n);
    std::vector<std::size_t> binaries;
    std::size_t sources = 0;
    while (g.size() < n) {
        const std::size_t i = g.size();
        const std::size_t roll = i < 8 ? 0 : below(100);
        if (roll < 5) {
            g.add("src|input_" + std::to_string(sources++), {});
        } else if (roll < 50) {
            if (below(3) == 0 && !binaries.empty()) {
                const std::size_t recent = std::min<std::size_t>(binaries.size(), 256);
                const std::size_t twin = binaries[binaries.size() - 1 - below(recent)];
                g.add(g.label(twin), {g.inputs(twin)[1], g.inputs(twin)[0]});
            } else {
                g.add(kCommutative[below(8)], {operand(i), operand(i)});
                binaries.push_back(i);
            }
        } else if (roll < 65) {
            g.add(kIdentity[below(4)], {operand(i)});
        } else {
            g.add(kUnary[below(6)], {operand(i)});
        }
    }
    for (std::size_t k = 0; k < 16; ++k) g.outputs.push_back(n - 1 - k % n);
    return g;
}

// The engine graph the pipeline hands to canonicalize for a recorded blob.
bool load_blob(const char* path, EngineGraph& out) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> blob((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (blob.empty()) return false;
    auto decoded = deserialize(blob);
    if (!decoded) return false;
    const Snapshot snap = decoded.value()->snapshot();
    InputGraph nodes = InputGraph::of(snap.nodes);
    const DceResult kept = dead_code_elimination(nodes, snap.outputs);
    out = std::move(to_engine_graph(std::move(nodes), kept).graph);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    std::vector<std::size_t> sizes;
    std::vector<const char*> files;
    for (int a = 2; a < argc; ++a) {
        char* end = nullptr;
        const std::size_t n = std::strtoull(argv[a], &end, 10);
        if (end != argv[a] && *end == '\0') {
            sizes.push_back(n);
        } else {
            files.push_back(argv[a]);
        }
    }
    if (sizes.empty() && files.empty()) sizes = {10'000, 100'000, 1'000'000};
    // Each input is a generated size or, after them, a recorded blob.
    std::vector<std::size_t> inputs = sizes;
    for (std::size_t f = 0; f < files.size(); ++f) inputs.push_back(0);

    const SaturationEngine engine;
    std::vector<double> cpu_per_node;
    std::vector<double> baseline_per_read;
    std::printf("%10s %12s %10s %12s %12s %10s %10s %6s %9s  %s\n", "nodes", "median ms", "ns/node", "cpu ms",
                "cpu ns/node", "first ms", "result", "iters", "ns/read", "stop");
    std::size_t first_n = 0;
    std::size_t last_n = 0;
    for (std::size_t input = 0; input < inputs.size(); ++input) {
        EngineGraph g;
        if (input < sizes.size()) {
            g = generate(inputs[input], 12345 + inputs[input]);
        } else if (!load_blob(files[input - sizes.size()], g)) {
            std::fprintf(stderr, "cannot read %s\n", files[input - sizes.size()]);
            return 2;
        }
        const std::size_t n = g.size();
        if (input == 0) first_n = n;
        last_n = n;
        // The first call meets cold caches and interns the rules' operators; reported apart.
        const auto first = std::chrono::steady_clock::now();
        engine.canonicalize(g);
        const double cold = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - first).count();
        std::vector<double> times;
        std::vector<double> cpu;
        std::vector<double> reads;
        // Filled, so that its pages are in place before it is timed.
        LargeVector<std::uint32_t> area(std::max<std::size_t>(n, 1) * kBaselineBytesPerNode / sizeof(std::uint32_t), 1);
        SaturationTrace trace;
        std::size_t result = 0;
        // A small graph takes a few milliseconds, where one interruption
        // moves a median of a handful of runs: it runs proportionally more
        // often, so that every size is timed for about as long.
        const std::size_t size_runs =
            static_cast<std::size_t>(runs) * std::max<std::size_t>(1, 100'000 / std::max<std::size_t>(n, 1));
        for (std::size_t r = 0; r < size_runs; ++r) {
            const double c0 = thread_cpu_ms();
            const auto t0 = std::chrono::steady_clock::now();
            const Canonical out = engine.canonicalize(g, &trace);
            const auto t1 = std::chrono::steady_clock::now();
            cpu.push_back(thread_cpu_ms() - c0);
            times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
            result = out.graph.size();
            reads.push_back(random_read_ns(area, n * kBaselineReadsPerNode));
        }
        std::sort(times.begin(), times.end());
        std::sort(cpu.begin(), cpu.end());
        const double median = times[times.size() / 2];
        const double cpu_median = cpu[cpu.size() / 2];
        std::sort(reads.begin(), reads.end());
        baseline_per_read.push_back(reads[reads.size() / 2]);
        const double per_node = 1e6 / static_cast<double>(n);
        cpu_per_node.push_back(cpu_median * per_node);
        std::printf("%10zu %12.1f %10.1f %12.1f %12.1f %10.1f %10zu %6zu %9.2f  %s\n", n, median, median * per_node,
                    cpu_median, cpu_median * per_node, cold, result, trace.iterations.size(),
                    baseline_per_read.back(), trace.stop.describe().c_str());
        if (std::getenv("BENCH_TRACE")) {
            std::printf("    load %.1f ms, saturation %.1f ms, read back %.1f ms\n", trace.load_seconds * 1e3,
                        trace.run_seconds * 1e3, trace.read_seconds * 1e3);
            for (std::size_t k = 0; k < trace.iterations.size(); ++k) {
                const auto& it = trace.iterations[k];
                std::printf("    iter %zu: nodes %zu classes %zu search %.1f ms apply %.1f ms rebuild %.1f ms (%zu merges)",
                            k, it.egraph_nodes, it.egraph_classes, it.search_seconds * 1e3, it.apply_seconds * 1e3,
                            it.rebuild_seconds * 1e3, it.rebuild_merges);
                for (const auto& [rule, merged] : it.applied) {
                    std::printf(" %s=%llu", std::string(rule.text()).c_str(), static_cast<unsigned long long>(merged));
                }
                for (const auto& rule : it.banned) std::printf(" ban:%s", std::string(rule.text()).c_str());
                std::printf("\n");
            }
        }
        std::fflush(stdout);
    }
    if (inputs.size() > 1) {
        std::printf("baseline: random reads over %zu B/node, per-read growth %zu -> %zu nodes: %.2fx\n",
                    kBaselineBytesPerNode, first_n, last_n, baseline_per_read.back() / baseline_per_read.front());
        std::printf("cpu per-node growth %zu -> %zu nodes: %.2fx\n", first_n, last_n,
                    cpu_per_node.back() / cpu_per_node.front());
    }
    return 0;
}
