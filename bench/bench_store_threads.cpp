// Recording from several threads: 1, 2 and 4 std::threads on one shared
// store against one store per thread, for these shapes of work:
//   new       every call records a new node (each thread its own nodes)
//   one_op    the same, all of one operation with the same parameters (as
//             threads recording one kind of step do): the nodes share a head
//   same      every thread records the very same new nodes at once
//   existing  every call finds a node recorded before
//   mixed     new and existing calls in turn
//   readers   node_count() and outputs() in turn
// A figure is all threads' calls per second of wall time, from the moment
// they all start to the moment the last one ends; prints one JSON object with
// the median of each over the runs, the median ratio to one thread, and for
// each shape the median of the shared store's two-thread speed-up over that
// of one store per thread.
//
//   bench_store_threads [CALLS_PER_THREAD] [RUNS] [SHAPE,...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <latch>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "graph/store.hpp"

using namespace veltrix;

namespace {

enum class Shape { New, OneOp, Same, Existing, Mixed, Readers };
constexpr const char* kShapeNames[] = {"new", "one_op", "same", "existing", "mixed", "readers"};

// The calls of one thread: add(a, b) with parameters side="r" and the
// thread's number t, over the pairs of k sources, as bench/run.py records.
struct Calls {
    std::vector<std::pair<NodeId, NodeId>> pairs;
    ParamRef params[2];
    std::int64_t thread;
};

// The pairs come from the thread's own stretch `stretch` (of n).
Calls calls_for(std::int64_t thread, std::size_t stretch, std::size_t n, std::size_t k) {
    Calls c;
    c.thread = thread;
    for (std::size_t i = stretch * n; i < (stretch + 1) * n; ++i) c.pairs.emplace_back(i % k, i / k);
    c.params[0] = ParamRef{"side", ParamTag::Str, 0, "r"};
    c.params[1] = ParamRef{"t", ParamTag::Int, static_cast<std::uint64_t>(thread), {}};
    return c;
}

NodeId add(GraphStore& s, const Calls& c, std::size_t i) {
    const NodeId in[2] = {c.pairs[i].first, c.pairs[i].second};
    auto r = s.intern_basic(NodeKind::Op, "add", ParamRefs(c.params, 2), in);
    if (!r) std::abort();
    return r.value();
}

std::unique_ptr<GraphStore> store_with_sources(std::size_t k) {
    auto s = std::make_unique<GraphStore>();
    for (std::size_t i = 0; i < k; ++i) {
        std::string name = "s";
        name += std::to_string(i);
        (void)s->intern(NodeKey::source(std::move(name)));
    }
    for (NodeId o = 0; o < 4; ++o) (void)s->mark_output(o);
    return s;
}

volatile std::uint64_t g_sink;

// Calls per second of `threads` threads doing `shape` on one store or on one each.
double run(Shape shape, int threads, bool shared, std::size_t n) {
    // Sources enough for every thread's stretch of pairs (one_op).
    std::size_t k = 1;
    while (k * k < n * (shape == Shape::OneOp ? threads : 1)) ++k;
    std::vector<std::unique_ptr<GraphStore>> stores;
    for (int t = 0; t < (shared ? 1 : threads); ++t) stores.push_back(store_with_sources(k));
    std::vector<Calls> calls;
    for (int t = 0; t < threads; ++t) {
        calls.push_back(shape == Shape::Same    ? calls_for(0, 0, n, k)
                        : shape == Shape::OneOp ? calls_for(0, t, n, k)
                                                : calls_for(t, 0, n, k));
    }
    // What is recorded before the clock starts.
    for (int t = 0; t < threads; ++t) {
        GraphStore& s = *stores[shared ? 0 : t];
        for (std::size_t i = 0; i < n; ++i) {
            if (shape == Shape::Existing || (shape == Shape::Mixed && i % 2 == 0)) add(s, calls[t], i);
        }
    }
    std::latch ready(threads + 1);
    std::vector<double> start(threads), end(threads);
    std::vector<std::thread> pool;
    using clock = std::chrono::steady_clock;
    const auto origin = clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(clock::now() - origin).count(); };
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            GraphStore& s = *stores[shared ? 0 : t];
            const Calls& c = calls[t];
            std::uint64_t sum = 0;
            ready.arrive_and_wait();
            start[t] = seconds();
            if (shape == Shape::Readers) {
                for (std::size_t i = 0; i < n; ++i) sum += i % 2 ? s.node_count() : s.outputs().size();
            } else {
                for (std::size_t i = 0; i < n; ++i) sum += add(s, c, i);
            }
            end[t] = seconds();
            g_sink = sum;
        });
    }
    ready.arrive_and_wait();
    for (std::thread& t : pool) t.join();
    const double elapsed = *std::max_element(end.begin(), end.end()) - *std::min_element(start.begin(), start.end());
    return static_cast<double>(n) * threads / elapsed;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 400000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    std::string only;  // ",new,same," or empty for all
    if (argc > 3) only.append(",").append(argv[3]).append(",");
    // A shared machine's speed drifts from one moment to the next: the
    // ratios are taken within each run, where 1, 2 and 4 threads on both
    // kinds of store are timed back to back, and their median is reported.
    std::string rates = "", ratios = "", speedups = "";
    auto key = [](Shape shape, bool shared, int threads) {
        return std::string(kShapeNames[static_cast<int>(shape)]) + (shared ? "/shared/" : "/per_thread/") +
               std::to_string(threads);
    };
    auto add = [](std::string& out, const std::string& k, double v) {
        out += (out.empty() ? "\"" : ", \"") + k + "\": " + std::to_string(v);
    };
    for (Shape shape : {Shape::New, Shape::OneOp, Shape::Same, Shape::Existing, Shape::Mixed, Shape::Readers}) {
        std::string name(",");
        name.append(kShapeNames[static_cast<int>(shape)]).append(",");
        if (!only.empty() && only.find(name) == std::string::npos) continue;
        // Every thread on its own store records its own nodes whatever the shape.
        const std::vector<bool> kinds = shape == Shape::Same ? std::vector<bool>{true} : std::vector<bool>{true, false};
        std::map<std::string, std::vector<double>> rate, ratio;
        std::vector<double> speedup;
        for (int r = 0; r < runs; ++r) {
            std::map<std::string, double> now;
            for (bool shared : kinds) {
                for (int threads : {1, 2, 4}) now[key(shape, shared, threads)] = run(shape, threads, shared, n);
            }
            for (const auto& [k, v] : now) {
                rate[k].push_back(v);
                ratio[k].push_back(v / now[k.substr(0, k.rfind('/')) + "/1"]);
            }
            if (kinds.size() == 2) {
                speedup.push_back((now[key(shape, true, 2)] / now[key(shape, true, 1)]) /
                                  (now[key(shape, false, 2)] / now[key(shape, false, 1)]));
            }
        }
        for (const auto& [k, v] : rate) add(rates, k, median(v));
        for (const auto& [k, v] : ratio) add(ratios, k, median(v));
        if (!speedup.empty()) add(speedups, kShapeNames[static_cast<int>(shape)], median(speedup));
    }
    std::printf("{\"calls_per_thread\": %zu, \"runs\": %d, \"calls_per_second\": {%s}, \"ratio_to_one_thread\": {%s}, "
                "\"shared_speedup_of_per_thread\": {%s}}\n",
                n, runs, rates.c_str(), ratios.c_str(), speedups.c_str());
}
