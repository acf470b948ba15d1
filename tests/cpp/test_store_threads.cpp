// One store, many threads: seeded random concurrent histories checked
// against a sequential model, and locks held across a fork.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <numeric>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "builders.hpp"
#include "graph/dot.hpp"
#include "optimizer/incremental.hpp"
#include "optimizer/saturation_engine.hpp"
#include "saturation/symbol.hpp"

using namespace veltrix;
using namespace veltrix::graph_testing;

namespace {

// A universe of distinct keys whose inputs name earlier keys of it: the
// sequential model. Every node a store holds must be one of these, each at
// most once, with its inputs' nodes before it.
struct Universe {
    using V = ParamValue;
    using Parts = std::tuple<NodeKind, std::string, std::string, std::vector<std::size_t>>;  // params as tokens
    struct Key {
        NodeKind kind;
        std::string name;
        std::vector<ParamEntry> params;
        std::vector<std::size_t> inputs;
    };
    std::vector<Key> keys;
    std::map<Parts, std::size_t> index;

    static std::string tokens(const ParamMap& params) {
        std::string out;
        for (const ParamEntry& e : params.entries()) out += e.key + "=" + e.value.token() + ";";
        return out;
    }
    Universe(std::size_t size, std::uint64_t seed) {
        std::mt19937_64 rng(seed);
        const std::vector<ParamEntry> pool = {{"k", V::Int(1)}, {"k", V::Str("1")}, {"side", V::Str("r")}, {"s", V::Float(0.5)}};
        while (keys.size() < size) {
            Key k{NodeKind("\0\1\1\1\2\5\6"[rng() % 7]), "", {}, {}};
            if (k.kind <= NodeKind::Reduction) k.name = std::string(1, "fgh"[rng() % 3]);
            for (std::size_t n = rng() % 3; n > 0; --n) k.params.push_back(pool[rng() % pool.size()]);
            if (k.kind != NodeKind::Source && !keys.empty()) {
                for (std::size_t n = 1 + rng() % 3; n > 0; --n) k.inputs.push_back(rng() % keys.size());
            }
            if (index.try_emplace(Parts{k.kind, k.name, tokens(ParamMap::make(k.params)), k.inputs}, keys.size()).second) keys.push_back(k);
        }
    }
    // The universe key a stored node is, given the keys of its inputs; none
    // when it is not one.
    std::optional<std::size_t> find(const NodeKey& node, const std::vector<std::size_t>& inputs) const {
        auto it = index.find(Parts{node.kind(), node.name(), tokens(node.params()), inputs});
        return it == index.end() ? std::nullopt : std::optional(it->second);
    }
};

constexpr NodeId kUnknown = ~NodeId{0};
constexpr NodeId kNoSuchNode = NodeId{1} << 36;
constexpr std::size_t kBatchLength = 3;

// What the threads of one history share about one store.
struct Shared {
    GraphStore store;
    std::vector<std::atomic<NodeId>> id_of;  // universe key -> its id, once some thread got it
    std::mutex marks_lock;
    std::set<NodeId> marked;
    explicit Shared(std::size_t n) : id_of(n) {
        for (auto& id : id_of) id.store(kUnknown);
    }
};

// Checks one state of a store as a reader saw it: every node below the
// count is complete and a universe key (or a node of a batch, whose nodes
// come all at once), at most once each, after its inputs; the outputs are
// distinct nodes below the count.
void check_state(const Universe& u, Shared& sh, const NodeView& nodes, std::span<const NodeId> outputs) {
    std::vector<std::size_t> key_of(nodes.size());
    std::vector<bool> seen(u.keys.size(), false);
    std::map<std::string, std::size_t> batches;  // batch name -> nodes seen
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const NodeKey& node = nodes[i];
        std::vector<std::size_t> inputs;
        for (NodeId x : node.inputs()) {
            ASSERT_LT(x, i) << "node " << i << " has a later input";
            inputs.push_back(key_of[x]);
        }
        if (node.name().size() > 1) {  // a batch: "b<thread>.<n>"
            ++batches[node.name()];
            key_of[i] = ~std::size_t{0};
            continue;
        }
        const auto k = u.find(node, inputs);
        ASSERT_TRUE(k) << "node " << i << " is no key of the model: " << node.label();
        ASSERT_FALSE(seen[*k]) << "key " << *k << " has two ids";
        seen[*k] = true;
        key_of[i] = *k;
        const NodeId known = sh.id_of[*k].load();
        ASSERT_TRUE(known == kUnknown || known == i) << "key " << *k << " is node " << i << ", not " << known;
    }
    for (const auto& [name, count] : batches) ASSERT_EQ(count, kBatchLength) << name << " seen in part";
    std::set<NodeId> distinct(outputs.begin(), outputs.end());
    ASSERT_EQ(distinct.size(), outputs.size());
    for (NodeId o : outputs) ASSERT_LT(o, nodes.size());
}

// One thread's history: adds of new and existing keys by both entry points,
// rejected inputs, batches, marks, and readers, on either of two stores.
void run_history(const Universe& u, std::vector<std::unique_ptr<Shared>>& stores, std::uint64_t seed, int ops) {
    std::mt19937_64 rng(seed);
    // The threads walk the model's keys in about the same order at about the
    // same pace, so that they often ask for the same new key at once.
    std::vector<std::size_t> order(u.keys.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::shuffle(order.begin(), order.end(), std::mt19937_64(u.keys.size()));
    std::vector<std::size_t> seen_count(stores.size(), 0);
    std::vector<std::vector<NodeId>> seen_outputs(stores.size());
    for (int op = 0; op < ops && !testing::Test::HasFatalFailure(); ++op) {
        const std::size_t which = rng() % stores.size();
        Shared& sh = *stores[which];
        GraphStore& s = sh.store;
        const unsigned dice = rng() % 100;
        // A model key whose inputs have ids: the first one without, going down.
        auto pick = [&] {
            std::size_t k = order[(static_cast<std::size_t>(op) * u.keys.size() / ops + rng() % 4) % u.keys.size()];
            for (bool descended = true; descended;) {
                descended = false;
                for (std::size_t x : u.keys[k].inputs) {
                    if (sh.id_of[x].load() == kUnknown) {
                        k = x;
                        descended = true;
                        break;
                    }
                }
            }
            return k;
        };
        // Records that key k got `id`: the same id for every thread, and visible once returned.
        auto got = [&](std::size_t k, NodeId id) {
            NodeId expected = kUnknown;
            if (!sh.id_of[k].compare_exchange_strong(expected, id)) {
                ASSERT_EQ(expected, id) << "key " << k;
            }
            ASSERT_GT(s.node_count(), id);
        };
        if (dice < 55) {
            const std::size_t k = pick();
            const Universe::Key& key = u.keys[k];
            std::vector<NodeId> inputs;
            for (std::size_t x : key.inputs) inputs.push_back(sh.id_of[x].load());
            Result<NodeId, BadNodeId> r = BadNodeId{0};
            if (rng() % 2) {
                r = s.intern(NodeKey::basic(key.kind, key.name, ParamMap::make(key.params), inputs));
            } else {
                std::vector<ParamRef> refs;
                for (const ParamEntry& e : key.params) refs.push_back(ParamRef::of(e));
                ParamMap::sort_refs(refs);
                r = s.intern_basic(key.kind, key.name, refs, inputs);
            }
            ASSERT_TRUE(r);
            got(k, *r);
            for (NodeId x : inputs) ASSERT_LT(x, *r);
        } else if (dice < 60) {
            // An input that names no node, after one that does: the first bad one is reported.
            const NodeId good = s.node_count() > 0 ? 0 : kNoSuchNode + 1;
            const NodeId in[] = {good, kNoSuchNode + rng() % 3, kNoSuchNode + 9};
            auto r = rng() % 2 ? s.intern(NodeKey::op("f", {}, {in[0], in[1], in[2]}))
                               : s.intern_basic(NodeKind::Op, "f", {}, in);
            ASSERT_FALSE(r);
            ASSERT_EQ(r.error().id, good == 0 ? in[1] : good);
        } else if (dice < 64) {
            // One call: a model key with all its inputs, down to sources, then a
            // chain of fresh keys on it that readers must see all of or none of.
            std::set<std::size_t> closure;
            for (std::vector<std::size_t> todo{order[(static_cast<std::size_t>(op) * u.keys.size() / ops + 2) % u.keys.size()]};
                 !todo.empty();) {
                const std::size_t k = todo.back();
                todo.pop_back();
                if (closure.insert(k).second) todo.insert(todo.end(), u.keys[k].inputs.begin(), u.keys[k].inputs.end());
            }
            std::map<std::size_t, NodeId> position;
            std::vector<NodeKey> batch;
            for (std::size_t k : closure) {  // in order: inputs first
                std::vector<NodeId> inputs;
                for (std::size_t x : u.keys[k].inputs) inputs.push_back(position.at(x));
                position[k] = batch.size();
                batch.push_back(NodeKey::basic(u.keys[k].kind, u.keys[k].name, ParamMap::make(u.keys[k].params), inputs));
            }
            const NodeId last = batch.size() - 1, fresh = batch.size();
            const std::string name = "b" + std::to_string(seed) + "." + std::to_string(op);
            batch.push_back(NodeKey::source(name));
            batch.push_back(NodeKey::op(name, {}, {fresh}));
            batch.push_back(NodeKey::op(name, {}, {fresh + 1, last}));
            const std::vector<NodeId> ids = s.intern_list(batch);
            for (const auto& [k, at] : position) got(k, ids[at]);
            ASSERT_LT(ids[fresh], ids[fresh + 1]);
            ASSERT_LT(ids[fresh + 1], ids[fresh + 2]);
        } else if (dice < 68) {
            const std::size_t count = s.node_count();
            const NodeId id = rng() % 4 && count > 0 ? rng() % count : kNoSuchNode;
            const auto bad = s.mark_output(id);
            ASSERT_EQ(bad ? bad->id : 0, id == kNoSuchNode ? id : 0) << id;
            if (!bad) {
                const std::lock_guard<std::mutex> hold(sh.marks_lock);
                sh.marked.insert(id);
            }
        } else {
            // Readers: counts only grow, outputs keep their order, every state is one of the model's.
            const std::size_t count = s.node_count();
            ASSERT_GE(count, seen_count[which]);
            seen_count[which] = count;
            const std::vector<NodeId> outputs = s.outputs();
            ASSERT_TRUE(std::equal(seen_outputs[which].begin(), seen_outputs[which].end(), outputs.begin(),
                                   outputs.begin() + std::min(outputs.size(), seen_outputs[which].size())) &&
                        outputs.size() >= seen_outputs[which].size());
            seen_outputs[which] = outputs;
            if (dice < 98) {
                s.read_locked([&](const NodeView& nodes, std::span<const NodeId> outs) {
                    ASSERT_GE(nodes.size(), count);
                    // A batch's fresh chain comes last in it: the last node seen
                    // is never a part of the chain without its end.
                    const NodeKey* tail = nodes.empty() ? nullptr : &nodes[nodes.size() - 1];
                    ASSERT_TRUE(!tail || tail->name().size() <= 1 || tail->inputs().size() == 2) << "a batch seen in part";
                    if (rng() % 16 == 0) check_state(u, sh, nodes, outs);
                });
            } else {
                // DOT shows a published state too: one label per node, one
                // edge per input of those nodes.
                const std::string dot = to_dot(s);
                const Snapshot later = s.snapshot();
                std::size_t labels = 0, edges = 0, inputs = 0;
                for (auto p = dot.find("[label="); p != dot.npos; p = dot.find("[label=", p + 1)) ++labels;
                for (auto p = dot.find(" -> "); p != dot.npos; p = dot.find(" -> ", p + 1)) ++edges;
                ASSERT_LE(labels, later.nodes.size());
                for (std::size_t i = 0; i < labels; ++i) inputs += later.nodes[i].inputs().size();
                ASSERT_EQ(edges, inputs);
            }
        }
    }
}

}  // namespace

// Several threads run seeded random histories on two shared stores. Every
// answer and every state a reader sees must fit one sequential history: one
// id per key whichever thread asks, ids dense in the order nodes appear,
// inputs only to existing nodes, readers seeing a prefix of complete nodes,
// batches all at once. At the end, recording the final node list again into
// a fresh store, one by one, gives the same ids.
TEST(StoreThreads, RandomConcurrentHistoriesMatchASequentialModel) {
#if defined(__SANITIZE_THREAD__)
    constexpr int kOps = 1500;
#else
    constexpr int kOps = 4000;
#endif
    for (std::uint64_t round = 1; round <= 4; ++round) {
        const Universe u(300, round);
        std::vector<std::unique_ptr<Shared>> stores;
        for (int i = 0; i < 2; ++i) stores.push_back(std::make_unique<Shared>(u.keys.size()));
        std::vector<std::thread> threads;
        for (std::uint64_t t = 0; t < 4; ++t) threads.emplace_back(run_history, std::cref(u), std::ref(stores), 10 * round + t, kOps);
        for (std::thread& t : threads) t.join();
        ASSERT_FALSE(HasFatalFailure());
        for (auto& sh : stores) {
            GraphStore& s = sh->store;
            const Snapshot final_state = s.snapshot();
            s.read_locked([&](const NodeView& nodes, std::span<const NodeId> outputs) {
                ASSERT_EQ(nodes.size(), final_state.nodes.size());
                check_state(u, *sh, nodes, outputs);
            });
            EXPECT_EQ(std::set<NodeId>(final_state.outputs.begin(), final_state.outputs.end()), sh->marked);
            GraphStore again;
            for (std::size_t i = 0; i < final_state.nodes.size(); ++i) ASSERT_EQ(must(again.intern(final_state.nodes[i])), i);
            // Every key some thread got keeps its id; nothing is added again.
            for (std::size_t k = 0; k < u.keys.size(); ++k) {
                const NodeId id = sh->id_of[k].load();
                if (id != kUnknown) {
                    ASSERT_EQ(must(s.intern(final_state.nodes[id])), id);
                }
            }
            EXPECT_EQ(s.node_count(), final_state.nodes.size());
            // Nodes that differ only by their inputs share one head, however they came in.
            for (std::size_t i = 0; i < final_state.nodes.size(); ++i) {
                for (std::size_t j = i + 1; j < final_state.nodes.size(); ++j) {
                    const NodeKey &a = final_state.nodes[i], &b = final_state.nodes[j];
                    ASSERT_EQ(a.equal_except_inputs(b), a.shares_head_with(b)) << i << " " << j;
                }
            }
        }
    }
}

// Threads add the same new keys in the same order at the same moment, one
// by one through both entry points: each key gets one id, the same for all,
// and an id is visible by the time it is returned. Then one thread adds
// them all in one intern_list while another asks for them one by one,
// starting a little later: a key looked up while the list is still being
// added is not there yet.
TEST(StoreThreads, ThreadsAddingTheSameNewKeysAtOnceGetOneIdEach) {
    constexpr std::size_t kKeys = 2000;  // a source and an operation on it, in turn
    auto name = [](std::size_t i) { return "n" + std::to_string(i / 2); };
    struct Round {
        int threads;
        bool list;  // thread 0 adds them all in one call
        int delay_us;
    };
    for (const Round round : {Round{4, false, 0}, Round{2, true, 5}, Round{2, false, 0}, Round{2, true, 20},
                              Round{4, false, 0}, Round{2, true, 40}}) {
        GraphStore s;
        std::vector<std::vector<NodeId>> ids(round.threads, std::vector<NodeId>(kKeys));
        std::vector<NodeKey> list;
        for (std::size_t i = 0; i < kKeys; ++i) list.push_back(i % 2 ? NodeKey::op("use", {}, {i - 1}) : NodeKey::source(name(i)));
        std::atomic<int> ready{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < round.threads; ++t) {
            threads.emplace_back([&, t] {
                ++ready;
                while (ready.load() < round.threads) {}
                if (round.list && t == 0) {
                    ids[t] = s.intern_list(list);
                    return;
                }
                const auto start = std::chrono::steady_clock::now() + std::chrono::microseconds(round.delay_us);
                while (std::chrono::steady_clock::now() < start) {}
                for (std::size_t i = 0; i < kKeys; ++i) {
                    const std::vector<NodeId> in = i % 2 ? std::vector<NodeId>{ids[t][i - 1]} : std::vector<NodeId>{};
                    const NodeKind kind = i % 2 ? NodeKind::Op : NodeKind::Source;
                    const std::string n = i % 2 ? "use" : name(i);
                    ids[t][i] = must((i / 2 + t) % 2 ? s.intern(NodeKey::basic(kind, n, {}, in)) : s.intern_basic(kind, n, {}, in));
                    ASSERT_GT(s.node_count(), ids[t][i]) << "key " << i;
                }
            });
        }
        for (std::thread& t : threads) t.join();
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_EQ(s.node_count(), kKeys);
        for (int t = 1; t < round.threads; ++t) ASSERT_EQ(ids[t], ids[0]) << "thread " << t;
    }
}

// A lock that a thread of the parent holds when the process forks: in the
// child, that thread is gone. If it had declared that it only reads, the
// child takes the lock over; otherwise every use fails with the busy
// message. Either way the child never waits for it. (ThreadSanitizer ends
// the child of a multi-threaded fork by itself.)
TEST(StoreThreads, ALockHeldAcrossAForkIsTakenOverOrFailsInTheChild) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer ends the child of a multi-threaded fork";
#endif
    enum Holder { Writer, Reader, Reducer };
    for (Holder holder : {Writer, Reader, Reducer}) {
        const PoisonLock lock{"poisoned", "busy"};
        IncrementalReducer reducer;
        std::atomic<bool> held{false}, done{false};
        std::thread t([&] {
            auto hold = [&] {
                held = true;
                while (!done) std::this_thread::yield();
                return 0;
            };
            if (holder == Reducer) reducer.with_state([&](CanonicalForm&) { return hold(); });
            else lock.run([&] {
                if (holder == Reader) lock.reading();
                return hold();
            });
        });
        while (!held) std::this_thread::yield();
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(20);  // a hung child ends with SIGALRM
            int code = 0;
            for (int attempt = 0; attempt < 2; ++attempt) {
                try {
                    if (holder == Reducer) code |= reducer.watermark() == 0 ? 8 : 16;
                    else code |= lock.run([] { return 1; });
                } catch (const ForkedWhileBusy& e) {
                    code |= std::string(e.what()) == (holder == Reducer ? kReducerBusyAtFork : "busy") ? 2 : 4;
                }
            }
            _exit(code);
        }
        done = true;
        t.join();
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "holder " << holder << ": the child was ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), holder == Reader ? 1 : 2) << "holder " << holder;
        EXPECT_EQ(lock.run([] { return 5; }), 5);  // the parent's lock is as it was
        EXPECT_EQ(reducer.watermark(), 0u);
    }
}

// The process-wide symbol table, which every reduction uses, is locked per
// shard for each lookup: a child forked while another thread interns
// symbols in a loop can intern its own.
TEST(StoreThreads, AChildForkedWhileAThreadInternsSymbolsCanInternToo) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer ends the child of a multi-threaded fork";
#endif
    std::atomic<bool> done{false};
    std::thread busy([&] {
        for (std::uint64_t i = 0; !done; ++i) (void)sat::Symbol::intern("fork-" + std::to_string(i % 4096));
    });
    for (int child = 0; child < 20; ++child) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(10);  // a hung child ends with SIGALRM
            _exit(sat::Symbol::intern("fork-child").text() == "fork-child" ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "child " << child << ": status " << status;
        ASSERT_EQ(WEXITSTATUS(status), 0) << "child " << child;
    }
    done = true;
    busy.join();
}
