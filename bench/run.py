"""Runs every benchmark of veltrix-core and prints one table.

Each figure runs in a fresh interpreter (so memory is measured from a clean
start and no figure warms caches for another), reports the median of several
runs together with a baseline measured in the same process, and the table is
also written as JSON so that runs can be compared.

    python bench/run.py [--sizes 10000,100000,1000000] [--runs 5]
                        [--json bench/results.json] [--bench-bin DIR]
                        [--only record,reduce,...] [--compare OLD.json]

The module is imported as veltrix.core.veltrix_core from sys.path (set
PYTHONPATH); --bench-bin names the directory holding the C++ benchmark
programs (bench_pipeline), which are skipped when absent.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import workload  # noqa: E402

FIGURES = ("record", "record_workload", "reduce", "blob", "fingerprint", "views", "memory", "incremental", "threads",
           "core", "free_threaded", "scale", "phases", "store_threads", "stall")
CACHE = os.environ.get("VELTRIX_BENCH_CACHE", os.path.join(tempfile.gettempdir(), "veltrix-bench-cache"))

# Figures are timed on the calling thread's CPU clock by default: on a
# machine shared with other work, time spent descheduled is not the code's
# cost. VELTRIX_BENCH_CLOCK=wall times them on the wall clock instead.
CLOCK = os.environ.get("VELTRIX_BENCH_CLOCK", "cpu")
perf_counter = time.perf_counter if CLOCK == "wall" else time.thread_time


# ---------------------------------------------------------------------------
# Helpers used inside the child processes


def median(xs):
    return statistics.median(xs)


def core():
    from veltrix.core import veltrix_core

    return veltrix_core


def recorded_store(n):
    calls, outputs = workload.cached(n, CACHE)
    store = core().GraphStore()
    workload.replay(store, calls)
    if store.node_count() != n:
        raise SystemExit("workload of %d calls recorded %d nodes" % (n, store.node_count()))
    return store, calls, outputs


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class PlainStore:
    """The hash-consing store a Python user would write: a dict from a key
    tuple to an id, and a list of keys."""

    def __init__(self):
        self.index = {}
        self.nodes = []

    def add_op(self, name, inputs, params=None):
        n = len(self.nodes)
        for i in inputs:
            if not 0 <= i < n:
                raise ValueError("no node with id %d" % i)
        key = ("op", name, tuple(inputs), tuple(sorted(params.items())) if params else ())
        found = self.index.get(key)
        if found is not None:
            return found
        self.index[key] = n
        self.nodes.append(key)
        return n

    def add_source(self, name, params=None):
        key = ("source", name, (), tuple(sorted(params.items())) if params else ())
        found = self.index.get(key)
        if found is not None:
            return found
        n = len(self.nodes)
        self.index[key] = n
        self.nodes.append(key)
        return n


# The three timed loops have the same shape: fresh arguments, one call.
def loop_call(f, name, pairs):
    t0 = perf_counter()
    for a, b in pairs:
        f(name, [a, b], {"side": "r"})
    return perf_counter() - t0


def loop_builtin(pairs, name):
    f = len
    t0 = perf_counter()
    for a, b in pairs:
        f((name, [a, b], {"side": "r"}))
    return perf_counter() - t0


def child_record(n, runs):
    """add_op(name, [a, b], {"side": "r"}) for n new nodes, then the same n
    calls again (existing nodes), against the built-in call and a plain
    Python hash-consing store. The existing nodes are asked for once more
    in a shuffled order, where the store's guess that a replay asks for
    the node after the previous one never holds."""
    k = 1
    while k * k < n:
        k += 1
    pairs = [(i % k, i // k) for i in range(n)]
    shuffled = list(pairs)
    random.Random(n).shuffle(shuffled)
    name = "add"
    new, existing, builtin, plain_new, plain_existing = [], [], [], [], []
    shuffled_existing, shuffled_builtin = [], []
    floor, floor_locked = [], []
    try:
        import argfloor  # built beside the module by scripts/bench.sh
    except ImportError:
        argfloor = None
    for _ in range(max(runs, 3) if n >= 10**6 else runs * 3):
        store = core().GraphStore()
        for i in range(k):
            store.add_source("s%d" % i)
        plain = PlainStore()
        for i in range(k):
            plain.add_source("s%d" % i)
        gc.collect()
        builtin.append(loop_builtin(pairs, name) / n)
        new.append(loop_call(store.add_op, name, pairs) / n)
        existing.append(loop_call(store.add_op, name, pairs) / n)
        plain_new.append(loop_call(plain.add_op, name, pairs) / n)
        plain_existing.append(loop_call(plain.add_op, name, pairs) / n)
        shuffled_builtin.append(loop_builtin(shuffled, name) / n)
        shuffled_existing.append(loop_call(store.add_op, name, shuffled) / n)
        if argfloor is not None:
            floor.append(loop_call(argfloor.add_op, name, pairs) / n)
            floor_locked.append(loop_call(argfloor.add_op_locked, name, pairs) / n)
        assert store.node_count() == n + k
        del store, plain
    return {
        "builtin": median(builtin),
        "new": median(new),
        "existing": median(existing),
        "plain_new": median(plain_new),
        "plain_existing": median(plain_existing),
        "shuffled_builtin": median(shuffled_builtin),
        "shuffled_existing": median(shuffled_existing),
        "floor": median(floor) if floor else None,
        "floor_locked": median(floor_locked) if floor_locked else None,
    }


def child_record_workload(n, runs):
    """Recording the mixed workload, per node."""
    calls, _ = workload.cached(n, CACHE)
    times = []
    for _ in range(runs):
        store = core().GraphStore()
        gc.collect()
        t0 = perf_counter()
        workload.replay(store, calls)
        times.append((perf_counter() - t0) / n)
        assert store.node_count() == n
        del store
    return {"per_node": median(times)}


def child_reduce(n, runs):
    store, _, outputs = recorded_store(n)
    times = []
    report = None
    # Small graphs reduce in milliseconds: many more runs steady their median.
    # A big one takes about a second, and now and then one run takes half as
    # long again: all the runs asked for, so that such a run cannot be the
    # median.
    for _ in range(runs * 5 if n <= 10**5 else max(1, runs)):
        gc.collect()
        t0 = perf_counter()
        reduced, report = store.reduce(outputs=outputs)
        times.append(perf_counter() - t0)
        del reduced
    return {"seconds": median(times), "per_node": median(times) / n, "report": report}


def child_blob(n, runs):
    store, _, outputs = recorded_store(n)
    ser, de, copy = [], [], []
    blob = store.serialize(outputs=outputs)
    for _ in range(runs):
        gc.collect()
        t0 = perf_counter()
        b = store.serialize(outputs=outputs)
        ser.append(perf_counter() - t0)
        t0 = perf_counter()
        back = core().GraphStore.deserialize(b)
        de.append(perf_counter() - t0)
        t0 = perf_counter()
        c = bytes(memoryview(b))
        copy.append(perf_counter() - t0)
        assert back.node_count() == n and c == blob
        del back, b, c
    return {"bytes": len(blob), "serialize": median(ser), "deserialize": median(de), "copy": median(copy)}


def child_fingerprint(n, runs):
    """fingerprint() and node_fingerprints() of a store, and serialize() of the
    same store and outputs, taken in turn in every run."""
    store, _, outputs = recorded_store(n)
    times = {"serialize": [], "fingerprint": [], "node_fingerprints": []}
    calls = {"serialize": lambda: store.serialize(outputs=outputs), "fingerprint": lambda: store.fingerprint(outputs),
             "node_fingerprints": store.node_fingerprints}
    for _ in range(runs):
        for name, call in calls.items():
            gc.collect()
            t0 = perf_counter()
            result = call()
            times[name].append(perf_counter() - t0)
            del result
    return {name: median(t) for name, t in times.items()}


def child_views(n, runs):
    store, _, _ = recorded_store(n)
    nodes_t, dot_t = [], []
    for _ in range(runs):
        gc.collect()
        t0 = perf_counter()
        v = store.nodes()
        nodes_t.append((perf_counter() - t0) / n)
        del v
        gc.collect()
        t0 = perf_counter()
        d = store.to_dot()
        dot_t.append((perf_counter() - t0) / n)
        del d
    return {"nodes": median(nodes_t), "to_dot": median(dot_t)}


def child_memory(n, runs):
    """Resident-set growth while recording n nodes, against the blob size."""
    calls, outputs = workload.cached(n, CACHE)
    GraphStore = core().GraphStore
    gc.collect()
    before = rss_bytes()
    store = GraphStore()
    workload.replay(store, calls)
    gc.collect()
    grown = rss_bytes() - before
    blob = len(store.serialize())
    return {"rss_growth": grown, "blob": blob, "per_node": grown / n, "blob_per_node": blob / n}


def child_incremental(n, runs):
    """Steps an IncrementalReducer every 1,000 recorded nodes. A run that
    exceeds its time budget stops early and reports the nodes it reached."""
    calls, _ = workload.cached(n, CACHE)
    m = core()
    every = 1000
    budget = float(os.environ.get("VELTRIX_BENCH_BUDGET", "300"))
    totals, firsts, lasts = [], [], []
    done = n
    for _ in range(1 if n >= 10**6 else runs):
        store = m.GraphStore()
        reducer = m.IncrementalReducer()
        steps = []
        gc.collect()
        started = perf_counter()
        for start in range(0, n, every):
            workload.replay(store, calls[start : start + every])
            t0 = perf_counter()
            reducer.step(store)
            steps.append(perf_counter() - t0)
            if perf_counter() - started > budget:
                break
        done = min(n, len(steps) * every)
        if reducer.total_work() != done or reducer.watermark() != done:
            raise SystemExit("total_work %d for %d nodes" % (reducer.total_work(), done))
        tenth = max(1, len(steps) // 10)
        firsts.append(sum(steps[:tenth]) / (tenth * every))
        lasts.append(sum(steps[-tenth:]) / (tenth * every))
        totals.append(sum(steps) / done)
        canonical = reducer.canonical_count()
    return {
        "per_node": median(totals),
        "first_tenth": median(firsts),
        "last_tenth": median(lasts),
        "total_work": done,
        "nodes_reached": done,
        "timed_out": done < n,
        "canonical": canonical,
    }


# The sizes from which the binding detaches from the interpreter (in
# src/python/common.hpp): a store's node count, a blob's bytes.
DETACH_NODES = 512
DETACH_BYTES = 4096


def counting_thread():
    """A thread running a pure-Python loop; returns (counter, stop)."""
    import threading

    counter = [0]
    stop = threading.Event()

    def loop():
        while not stop.is_set():
            counter[0] += 1

    t = threading.Thread(target=loop, daemon=True)
    t.start()

    def stopper():
        stop.set()
        t.join()

    return counter, stopper


def child_threads(n, runs):
    """The progress of a second Python thread while reduce() of n nodes
    runs, as a share of its progress when it runs alone (wall clock: both
    threads' progress is what counts). At the detaching threshold, the cost
    of detaching and attaching again against each call that pays it."""
    import hashlib

    store, _, outputs = recorded_store(n)
    data = os.urandom(max(1 << 20, 64 * n))  # hashing it takes about as long as the reduction
    alone, during, hashing = [], [], []
    counter, stop = counting_thread()

    def rate(call):
        c0, t0 = counter[0], time.perf_counter()
        call()
        return (counter[0] - c0) / (time.perf_counter() - t0)

    for _ in range(runs if n >= 10**6 else runs * 3):
        gc.collect()
        alone.append(rate(lambda: time.sleep(0.05 if n < 10**6 else 0.3)))
        during.append(rate(lambda: store.reduce(outputs=outputs)))
        hashing.append(rate(lambda: hashlib.sha256(data).digest()))
    stop()
    result = {"alone": median(alone), "during": median(during), "share": median(during) / median(alone),
              "hashlib_share": median(hashing) / median(alone)}
    try:
        import argfloor
    except ImportError:
        return result
    # One call of each operation that detaches, on DETACH_NODES nodes; the
    # decoding of a blob scaled to DETACH_BYTES.
    small, _, small_outputs = recorded_store(DETACH_NODES)
    blob = small.serialize(outputs=small_outputs)
    calls = {
        "serialize": (lambda: small.serialize(), 1.0),
        "to_dot": (lambda: small.to_dot(), 1.0),
        "nodes": (lambda: small.nodes(), 1.0),
        "step": (lambda: core().IncrementalReducer().step(small), 1.0),
        "deserialize": (lambda: core().GraphStore.deserialize(blob), DETACH_BYTES / len(blob)),
    }
    at_threshold = {}
    reps = 2000
    for name, (call, scale) in calls.items():
        t0 = perf_counter()
        for _ in range(reps):
            call()
        at_threshold[name] = (perf_counter() - t0) / reps * scale
    t0 = perf_counter()
    argfloor.detach(100000)
    result["detach"] = (perf_counter() - t0) / 100000
    result["at_threshold"] = at_threshold
    return result


# What one shared store should keep of the speed-up that a store per thread
# gets with two threads, by shape (the free_threaded and store_threads figures).
SHARED_STORE_KEEPS = {"new": 0.75, "one_op": 0.75, "existing": 0.85, "readers": 0.85}


def child_free_threaded(n, runs):
    """On the free-threaded interpreter: n calls in each of 1 and 2 threads,
    recording into one store per thread and into one shared store (new
    nodes, then the same nodes again), then reading (node_count()), beside
    a loop that builds the same arguments for a built-in call. Throughput is
    all the threads' calls over the wall time from their common start to the
    last one's end. Each thread calls through its own bound methods and its
    own argument objects, so that no reference count is shared but the
    store's. Besides the medians, every run's figures under "rounds"."""
    import threading

    if sys._is_gil_enabled():
        raise SystemExit("the free_threaded figure needs an interpreter without the GIL")
    m = core()
    k = 1
    while k * k < n:
        k += 1

    def timed(threads, prepare):
        """Wall seconds for prepare(t)() in each of `threads` threads."""
        barrier, starts, ends = threading.Barrier(threads), [0.0] * threads, [0.0] * threads

        def body(t):
            run = prepare(t)
            barrier.wait()
            starts[t] = time.perf_counter()
            run()
            ends[t] = time.perf_counter()

        workers = [threading.Thread(target=body, args=(t,)) for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        return max(ends) - min(starts)

    def store_with_sources():
        store = m.GraphStore()
        for i in range(k):
            store.add_source("s%d" % i)
        return store

    def calls(t):  # this thread's own name, key and ints (small ints are immortal anyway)
        return "".join(("a", "d", "d")), "t%d" % t, [(i % k, i // k) for i in range(n)]

    def builtin(t):
        name, key, pairs = calls(t)
        f = len

        def run():
            for a, b in pairs:
                f((name, [a, b], {key: t}))
        return run

    def recorder(stores):
        def prepare(t):
            name, key, pairs = calls(t)
            add = stores[t].add_op

            def run():
                for a, b in pairs:
                    add(name, [a, b], {key: t})
            return run
        return prepare

    def reader(stores):
        def prepare(t):
            count = stores[t].node_count

            def run():
                for _ in range(n):
                    count()
            return run
        return prepare

    cases = {}
    for _ in range(runs):
        for threads in (1, 2):
            gc.collect()
            cases.setdefault(("builtin", threads), []).append(timed(threads, builtin))
            for layout in ("own", "shared"):
                shared = store_with_sources() if layout == "shared" else None
                stores = [shared if shared is not None else store_with_sources() for _ in range(threads)]
                gc.collect()
                for case, prepare in (("new", recorder(stores)), ("existing", recorder(stores)),
                                      ("readers", reader(stores))):
                    cases.setdefault((case + " " + layout, threads), []).append(timed(threads, prepare))
                distinct = {id(s): s for s in stores}.values()
                assert sum(s.node_count() for s in distinct) == threads * n + len(distinct) * k
                del stores, shared
    result = {"%s|%d" % key: key[1] * n / median(ts) for key, ts in cases.items()}  # calls/s
    result["rounds"] = {"%s|%d" % key: [key[1] * n / t for t in ts] for key, ts in cases.items()}
    return result


def child_stall(n, runs):
    """The longest single add_op while recording a chain of n nodes (wall
    clock: a stall is time other threads wait), and where it came; twice in
    one process. In a virtual machine the first chain also pays for the
    host's first touch of fresh memory (a few ms per huge page), the second
    reuses what the first had and shows the store's own worst call."""
    gc.disable()  # the collector's pauses are not the store's
    clock = time.perf_counter_ns
    chains = []
    for _ in range(2):
        store = core().GraphStore()
        add = store.add_op
        prev = store.add_source("x")
        worst = [(0, 0)] * 3
        t_all = clock()
        for i in range(1, n):
            t0 = clock()
            prev = add("neg", [prev])
            dt = clock() - t0
            if dt > worst[-1][0]:
                worst = sorted(worst + [(dt, i)], reverse=True)[:3]
        chains.append({"worst": [{"seconds": dt / 1e9, "node": i} for dt, i in worst],
                       "per_call": (clock() - t_all) / 1e9 / n})
        del store, add, prev
    gc.enable()
    return {"first": chains[0], "second": chains[1]}


def child_blobfile(n, runs):
    store, _, outputs = recorded_store(n)
    path = os.path.join(CACHE, "workload-%d.blob" % n)
    with open(path, "wb") as f:
        f.write(store.serialize(outputs=outputs))
    return {"path": path}


# The reduction of the five-step groups (workload.record_groups) through each
# Python entry point, one fresh process per entry point and size: its CPU
# time and the peak of the resident set during the call beyond what it was
# before, against the store's own resident memory. The finalize entry
# finalizes a reducer that stepped once over the store, so that its
# canonical form, like the store, is in place before the call.
SCALE_ENTRIES = ("reduce", "reduction_report", "reduce_incremental", "finalize")
SCALE_SIZES = (10**4, 10**6, 10**7)


def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    raise SystemExit("no %s in /proc/self/status" % field)


def child_scale(entry, n, runs):
    m = core()
    gc.collect()
    before = status_bytes("VmRSS:")
    store = m.GraphStore()
    outputs = workload.record_groups(store, n)
    gc.collect()
    recorded = status_bytes("VmRSS:")
    reducer = None
    if entry == "finalize":
        reducer = m.IncrementalReducer()
        reducer.step(store)
    call = {
        "reduce": lambda: store.reduce(outputs=outputs),
        "reduction_report": lambda: store.reduction_report(outputs=outputs),
        "reduce_incremental": lambda: store.reduce_incremental(outputs=outputs),
        "finalize": lambda: reducer.finalize(store, outputs=outputs),
    }[entry]
    gc.collect()
    start = status_bytes("VmRSS:")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak (VmHWM) starts over from here
    t0 = perf_counter()
    result = call()
    seconds = perf_counter() - t0
    peak = status_bytes("VmHWM:") - start
    del result
    nodes = store.node_count()
    return {"nodes": nodes, "seconds": seconds, "per_node": seconds / nodes, "store_bytes": recorded - before,
            "peak_bytes": peak, "peak_per_store": peak / (recorded - before)}


CHILDREN = {
    "record": child_record,
    "record_workload": child_record_workload,
    "reduce": child_reduce,
    "blob": child_blob,
    "fingerprint": child_fingerprint,
    "views": child_views,
    "memory": child_memory,
    "incremental": child_incremental,
    "threads": child_threads,
    "free_threaded": child_free_threaded,
    "blobfile": child_blobfile,
    "stall": child_stall,
}
for _entry in SCALE_ENTRIES:
    CHILDREN["scale_" + _entry] = lambda n, runs, entry=_entry: child_scale(entry, n, runs)

# Chains recorded for the longest single add_op: sizes of their own, from a
# size where growing a single table took tens of milliseconds.
STALL_SIZES = (4 * 10**6, 10**7)


# ---------------------------------------------------------------------------
# The parent: runs the children and builds the table


def run_child(figure, n, runs, python=None, path=None):
    cmd = [python or sys.executable, os.path.abspath(__file__), "--child", figure, str(n), str(runs)]
    env = dict(os.environ, PYTHONPATH=path) if path else None
    out = subprocess.run(cmd, check=True, stdout=subprocess.PIPE, text=True, env=env)
    return json.loads(out.stdout.strip().splitlines()[-1])


def run_core(bench_bin, n, runs):
    exe = os.path.join(bench_bin, "bench_pipeline")
    if not bench_bin or not os.path.exists(exe):
        return None
    path = run_child("blobfile", n, 1)["path"]
    out = subprocess.run([exe, path, str(runs), CLOCK], check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def run_phases(bench_bin, source):
    """bench_pipeline --phases SOURCE: one reduction, phase by phase, in a fresh process."""
    exe = os.path.join(bench_bin, "bench_pipeline")
    if not bench_bin or not os.path.exists(exe):
        return None
    out = subprocess.run([exe, "--phases", source], check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def add_phase_rows(table, label, r):
    n, store = r["nodes"], r["store_bytes"]
    for p in r["phases"]:
        table.add("phase %s: %s" % (label, p["phase"]), n, ns(p["seconds"] / n), "ns/node", p["peak_bytes"] / store,
                  "x store peak; %d faults, %d allocs" % (p["faults"], p["allocations"]))
    table.add("phase %s: whole reduction" % label, n, ns(r["seconds"] / n), "ns/node", r["peak_bytes"] / store,
              "x store peak (store %.0f B/node)" % (store / n))


def run_store_threads(bench_bin, runs):
    """bench_store_threads: calls per second of 1, 2 and 4 threads, on one
    shared store and on one store per thread, with the ratios taken within
    each run."""
    exe = os.path.join(bench_bin, "bench_store_threads")
    if not bench_bin or not os.path.exists(exe):
        return None
    out = subprocess.run([exe, "400000", str(runs)], check=True, stdout=subprocess.PIPE, text=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def ns(x):
    return x * 1e9


class Table:
    def __init__(self):
        self.rows = []

    def add(self, figure, size, value, unit, baseline=None, baseline_name="", ratio=None, target="", ok=None):
        self.rows.append(
            {
                "figure": figure,
                "size": size,
                "value": value,
                "unit": unit,
                "baseline": baseline,
                "baseline_name": baseline_name,
                "ratio": ratio,
                "target": target,
                "ok": ok,
            }
        )

    def print(self, previous=None):
        old = {}
        if previous:
            for r in previous.get("rows", []):
                old[(r["figure"], r["size"])] = r
        head = ["figure", "nodes", "median", "unit", "baseline", "ratio", "target", ""]
        if old:
            head.insert(4, "before")
        lines = []
        for r in self.rows:
            cells = [
                r["figure"],
                "%d" % r["size"] if r["size"] else "",
                fmt(r["value"]),
                r["unit"],
                ("%s %s" % (fmt(r["baseline"]), r["baseline_name"])) if r["baseline"] is not None else "",
                ("%.2f" % r["ratio"]) if r["ratio"] is not None else "",
                r["target"],
                {True: "ok", False: "MISS", None: ""}[r["ok"]],
            ]
            if old:
                o = old.get((r["figure"], r["size"]))
                cells.insert(4, fmt(o["value"]) if o else "")
            lines.append(cells)
        widths = [max(len(str(c)) for c in col) for col in zip(head, *lines)]
        for cells in [head] + lines:
            print("  ".join(str(c).ljust(w) for c, w in zip(cells, widths)).rstrip())


def fmt(v):
    if v is None:
        return ""
    if isinstance(v, int):
        return "%d" % v
    if v >= 100:
        return "%.0f" % v
    if v >= 10:
        return "%.1f" % v
    return "%.3g" % v


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    ap.add_argument("--sizes", default="10000,100000,1000000")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--json", default=os.path.join(HERE, "results.json"))
    ap.add_argument("--bench-bin", default="")
    ap.add_argument("--only", default=",".join(FIGURES))
    ap.add_argument("--compare", default="", help="an earlier results JSON to show as a 'before' column")
    ap.add_argument("--free-threaded", nargs=2, metavar=("PYTHON", "PATH"), default=None,
                    help="a free-threaded interpreter and the PYTHONPATH of its build of the module, for the "
                    "free_threaded figure (skipped without it)")
    ap.add_argument("--scale-sizes", default=",".join(str(n) for n in SCALE_SIZES),
                    help="sizes of the five-step groups for the scale and phases figures")
    args = ap.parse_args()

    if args.child:
        figure, n, runs = args.child[0], int(args.child[1]), int(args.child[2])
        print(json.dumps(CHILDREN[figure](n, runs)))
        return

    sizes = [int(s) for s in args.sizes.split(",") if s]
    only = set(args.only.split(","))
    unknown = only - set(FIGURES)
    if unknown:
        ap.error("unknown figures: %s" % ", ".join(sorted(unknown)))
    runs = args.runs
    table = Table()
    raw = {}
    started = time.time()

    def progress(what):
        print("  ... %s (%.0f s)" % (what, time.time() - started), file=sys.stderr, flush=True)

    for n in sizes:
        if "record" in only:
            progress("record %d" % n)
            r = raw.setdefault("record", {})[n] = run_child("record", n, runs)
            table.add("record: add_op, new node", n, ns(r["new"]), "ns/call", ns(r["builtin"]), "ns builtin",
                      r["new"] / r["builtin"], "<= 3x builtin", r["new"] <= 3 * r["builtin"])
            table.add("record: add_op, existing node", n, ns(r["existing"]), "ns/call", ns(r["builtin"]),
                      "ns builtin", r["existing"] / r["builtin"], "<= 2x builtin", r["existing"] <= 2 * r["builtin"])
            table.add("record: add_op, existing, shuffled", n, ns(r["shuffled_existing"]), "ns/call",
                      ns(r["shuffled_builtin"]), "ns builtin", r["shuffled_existing"] / r["shuffled_builtin"])
            table.add("record: plain-Python store, new", n, ns(r["plain_new"]), "ns/call", ns(r["new"]), "ns add_op",
                      r["plain_new"] / r["new"], ">= 5x add_op", r["plain_new"] >= 5 * r["new"])
            table.add("record: plain-Python store, existing", n, ns(r["plain_existing"]), "ns/call",
                      ns(r["existing"]), "ns add_op", r["plain_existing"] / r["existing"], ">= 5x add_op",
                      r["plain_existing"] >= 5 * r["existing"])
            if r.get("floor"):
                # What any add_op must spend: reading its arguments, and also
                # a lock and a new int object. The plain-Python store over
                # these floors bounds the ratio any implementation can reach.
                table.add("record: floor, arguments only", n, ns(r["floor"]), "ns/call", ns(r["builtin"]),
                          "ns builtin", r["floor"] / r["builtin"])
                table.add("record: floor, with lock and id", n, ns(r["floor_locked"]), "ns/call", ns(r["builtin"]),
                          "ns builtin", r["floor_locked"] / r["builtin"])
                for kind in ("new", "existing"):
                    table.add("record: plain-Python %s / floors" % kind, n, r["plain_" + kind] / r["floor"], "x",
                              r["plain_" + kind] / r["floor_locked"], "x with lock and id")
        if "record_workload" in only:
            progress("record_workload %d" % n)
            r = raw.setdefault("record_workload", {})[n] = run_child("record_workload", n, runs)
            table.add("record: mixed workload", n, ns(r["per_node"]), "ns/node")
        if "reduce" in only:
            progress("reduce %d" % n)
            r = raw.setdefault("reduce", {})[n] = run_child("reduce", n, runs)
            first = raw["reduce"].get(sizes[0])
            growth = r["per_node"] / first["per_node"] if first and n != sizes[0] else None
            table.add("reduce(): end to end", n, ns(r["per_node"]), "ns/node",
                      ns(first["per_node"]) if growth else None, "ns/node at %d" % sizes[0], growth,
                      "<= 1.5 s; <= 1.5x/node" if n >= 10**6 else "",
                      (r["seconds"] <= 1.5 and (growth is None or growth <= 1.5)) if n >= 10**6 else None)
            table.add("reduce(): seconds", n, r["seconds"], "s")
        if "blob" in only:
            progress("blob %d" % n)
            r = raw.setdefault("blob", {})[n] = run_child("blob", n, runs)
            mb = r["bytes"] / 1e6
            table.add("serialize()", n, mb / r["serialize"], "MB/s", mb / r["copy"], "MB/s bytes copy",
                      r["copy"] / r["serialize"], ">= 500 MB/s", mb / r["serialize"] >= 500)
            table.add("deserialize()", n, n / r["deserialize"] / 1e6, "M nodes/s", mb / r["copy"],
                      "MB/s bytes copy", r["copy"] / r["deserialize"], ">= 3 M nodes/s", n / r["deserialize"] >= 3e6)
            table.add("deserialize(): MB/s", n, mb / r["deserialize"], "MB/s")
        if "fingerprint" in only:
            progress("fingerprint %d" % n)
            r = raw.setdefault("fingerprint", {})[n] = run_child("fingerprint", n, runs)
            ratio, big = r["fingerprint"] / r["serialize"], n >= 10**6
            table.add("fingerprint()", n, ns(r["fingerprint"] / n), "ns/node", ns(r["serialize"] / n),
                      "ns/node serialize", ratio, "<= 1x serialize" if big else "", ratio <= 1 if big else None)
            table.add("node_fingerprints()", n, ns(r["node_fingerprints"] / n), "ns/node", ns(r["serialize"] / n),
                      "ns/node serialize", r["node_fingerprints"] / r["serialize"])
        if "views" in only:
            progress("views %d" % n)
            r = raw.setdefault("views", {})[n] = run_child("views", n, runs)
            table.add("nodes()", n, ns(r["nodes"]), "ns/node")
            table.add("to_dot()", n, ns(r["to_dot"]), "ns/node")
        if "memory" in only:
            progress("memory %d" % n)
            r = raw.setdefault("memory", {})[n] = run_child("memory", n, runs)
            ratio = r["per_node"] / r["blob_per_node"]
            table.add("memory: store RSS growth", n, r["per_node"], "B/node", r["blob_per_node"], "B/node blob",
                      ratio, "<= 3x blob (2x)" if n >= 10**6 else "", ratio <= 3 if n >= 10**6 else None)
        if "incremental" in only:
            progress("incremental %d" % n)
            r = raw.setdefault("incremental", {})[n] = run_child("incremental", n, runs)
            flat = r["last_tenth"] / r["first_tenth"]
            label = "IncrementalReducer.step, per node"
            if r.get("timed_out"):
                label += " (stopped at %d nodes)" % r["nodes_reached"]
            table.add(label, n, ns(r["per_node"]), "ns/node", ns(r["first_tenth"]), "ns first tenth", flat,
                      "flat: last/first tenth <= 1.5", flat <= 1.5 and not r.get("timed_out"))
        if "threads" in only:
            progress("threads %d" % n)
            r = raw.setdefault("threads", {})[n] = run_child("threads", n, runs)
            # Close to 1 with a core for each thread; it drops as the two
            # threads contend for the machine. The baseline is the same share
            # while hashlib hashes a buffer (it releases the GIL too).
            table.add("threads: progress of another thread during reduce()", n, r["share"], "x alone",
                      r["hashlib_share"], "x during sha256", r["share"] / r["hashlib_share"])
            if "detach" in r and n == sizes[0]:
                for name, seconds in r["at_threshold"].items():
                    table.add("threads: detach + attach / %s at threshold" % name, DETACH_NODES, ns(r["detach"]),
                              "ns", ns(seconds), "ns call", r["detach"] / seconds, "<= 0.01",
                              r["detach"] / seconds <= 0.01)
        if "free_threaded" in only and args.free_threaded:
            progress("free_threaded %d" % n)
            r = raw.setdefault("free_threaded", {})[n] = run_child("free_threaded", n, runs, *args.free_threaded)
            # Calls per thread; 2 threads against 1, both in this run: near 2
            # with a core for each thread, and as the built-in loop's ratio
            # when the machine has less to give.
            for case, what in (("builtin", "built-in call, same arguments"),
                               ("new own", "add_op new, a store per thread"),
                               ("new shared", "add_op new, one shared store"),
                               ("existing own", "add_op existing, a store per thread"),
                               ("existing shared", "add_op existing, one shared store"),
                               ("readers own", "node_count, a store per thread"),
                               ("readers shared", "node_count, one shared store")):
                one, two = r[case + "|1"], r[case + "|2"]
                table.add("free-threaded, 2 threads: " + what, n, two / 1e6, "M calls/s", one / 1e6,
                          "M calls/s 1 thread", two / one)
            # What one shared store keeps of the speed-up that a store per
            # thread gets, round by round (the machine's speed drifts between
            # rounds more than within one), against the mean of the round's
            # two one-thread runs.
            for case, what in (("new", "add_op new"), ("existing", "add_op existing"), ("readers", "node_count")):
                goal, rounds = SHARED_STORE_KEEPS[case], r["rounds"]
                kept = []
                for own1, shared1, own2, shared2 in zip(*(rounds["%s %s|%d" % (case, layout, threads)]
                                                          for threads in (1, 2) for layout in ("own", "shared"))):
                    base = (own1 + shared1) / 2
                    if own2 > base:
                        kept.append((shared2 / base - 1) / (own2 / base - 1))
                if kept:
                    table.add("free-threaded, 2 threads: %s, one shared store keeps of the speed-up" % what, n,
                              median(kept), "of per-thread", None, "", None, ">= %d%%" % (goal * 100),
                              median(kept) >= goal)
        if "core" in only:
            progress("core %d" % n)
            r = run_core(args.bench_bin, n, runs if n < 10**6 else max(1, min(runs, 3)))
            if r is not None:
                raw.setdefault("core", {})[n] = r
                s = r["median_seconds"]
                first = raw["core"].get(sizes[0])
                for phase in ("canonicalize", "reduce_with", "reduce_with_mode", "from_reduced", "snapshot", "pass_input_graph", "pass_dce", "pass_engine_graph",
                              "pass_cse", "pass_fusion", "intern_new", "intern_existing", "deserialize",
                              "serialize", "to_dot"):
                    if phase not in s:
                        continue
                    growth = None
                    if first and n != sizes[0] and phase in ("canonicalize", "reduce_with"):
                        growth = (s[phase] / n) / (first["median_seconds"][phase] / sizes[0])
                    table.add("C++ %s" % phase, n, ns(s[phase] / n), "ns/node",
                              ns(first["median_seconds"][phase] / sizes[0]) if growth else None,
                              "ns/node at %d" % sizes[0], growth)

    scale_sizes = [int(s) for s in args.scale_sizes.split(",") if s]
    if "scale" in only:
        # The per-node cost against the smallest size, and the peak beyond
        # the store against the store.
        for entry in SCALE_ENTRIES:
            for n in scale_sizes:
                progress("scale %s %d" % (entry, n))
                r = raw.setdefault("scale_" + entry, {})[n] = run_child("scale_" + entry, n, 1)
                first = raw["scale_" + entry][scale_sizes[0]]
                growth = r["per_node"] / first["per_node"] if n != scale_sizes[0] else None
                limit = 450 if n <= 10**6 else 600
                table.add("scale: %s(), five-step groups" % entry, r["nodes"], ns(r["per_node"]), "ns/node",
                          ns(first["per_node"]) if growth else None, "ns/node at %d" % first["nodes"], growth,
                          "<= %d ns/node; <= 1.5x/node" % limit if n >= 10**6 else "",
                          ns(r["per_node"]) <= limit and (growth is None or growth <= 1.5) if n >= 10**6 else None)
                table.add("scale: %s(), peak beyond the store" % entry, r["nodes"], r["peak_per_store"], "x store",
                          r["store_bytes"] / r["nodes"], "B/node store", None, "<= 2x" if n >= 10**6 else "",
                          r["peak_per_store"] <= 2 if n >= 10**6 else None)
    if "phases" in only:
        for n in scale_sizes:
            progress("phases groups %d" % n)
            r = run_phases(args.bench_bin, "groups:%d" % n)
            if r is not None:
                raw.setdefault("phases_groups", {})[n] = r
                add_phase_rows(table, "five-step groups", r)
        for n in sizes:
            progress("phases workload %d" % n)
            r = run_phases(args.bench_bin, run_child("blobfile", n, 1)["path"]) if args.bench_bin else None
            if r is not None:
                raw.setdefault("phases_workload", {})[n] = r
                add_phase_rows(table, "workload", r)
    if "store_threads" in only:
        # Wall clock, as scaling is; two threads on two cores are comparable
        # only on an otherwise idle machine. A thread-count ratio is against
        # one thread on the same shape and kind of store; "of per-thread" is
        # the shared store's speed-up over that of one store per thread.
        progress("store_threads")
        r = raw["store_threads"] = run_store_threads(args.bench_bin, runs)
        for shape in ("new", "one_op", "same", "existing", "mixed", "readers") if r else ():
            for kind in ("shared", "per_thread"):
                one = r["calls_per_second"].get("%s/%s/1" % (shape, kind))
                if one is None:
                    continue
                label = "C++ threads: %s, %s store" % (shape, kind.replace("_", "-"))
                table.add(label + ", 1 thread", None, one / 1e6, "M calls/s")
                for t in (2, 4):
                    rate = r["ratio_to_one_thread"]["%s/%s/%d" % (shape, kind, t)]
                    target, ok = "", None
                    if kind == "shared":
                        two = r["ratio_to_one_thread"]["%s/shared/2" % shape]
                        target, ok = (">= 1x", rate >= 1) if t == 2 else (">= 1x, >= 2 threads", rate >= max(1, two * 0.97))
                    table.add("%s, %d threads" % (label, t), None, rate, "x 1 thread", target=target, ok=ok)
            if shape in SHARED_STORE_KEEPS:
                kept = r["shared_speedup_of_per_thread"][shape]
                table.add("C++ threads: %s, 2 threads, shared / per-thread speed-up" % shape, None, kept, "x",
                          target=">= %.2f" % SHARED_STORE_KEEPS[shape], ok=kept >= SHARED_STORE_KEEPS[shape])
    if "stall" in only:
        for n in STALL_SIZES:
            progress("stall %d" % n)
            r = raw.setdefault("stall", {})[n] = run_child("stall", n, 1)
            for which in ("first", "second"):
                chain = r[which]
                worst = chain["worst"][0]
                table.add("stall: longest single add_op, %s chain" % which, n, worst["seconds"] * 1e3, "ms",
                          chain["per_call"] * 1e9, "ns mean call (worst at node %d)" % worst["node"],
                          target="<= 10 ms", ok=worst["seconds"] <= 0.01)

    previous = None
    if args.compare:
        with open(args.compare) as f:
            previous = json.load(f)
    print()
    print("medians of %d runs, %s clock; load average %.1f" % (runs, "thread CPU" if CLOCK != "wall" else "wall",
                                                               os.getloadavg()[0]))
    table.print(previous)
    result = {
        "when": time.strftime("%Y-%m-%dT%H:%M:%S"),
        "python": sys.version,
        "machine": platform.machine(),
        "load_average": os.getloadavg(),
        "clock": CLOCK,
        "sizes": sizes,
        "runs": runs,
        "rows": table.rows,
        "raw": raw,
    }
    if args.json:
        with open(args.json, "w") as f:
            json.dump(result, f, indent=1)
        print("\nwritten to %s" % args.json)


if __name__ == "__main__":
    main()
