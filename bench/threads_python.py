"""Recording from Python threads into one shared store against one store per
thread: calls per second of 1 and 2 threads, each calling through its own
bound method (a method shared by threads contends on its reference count in
the interpreter), for add_op of new nodes, add_source of an existing node and
node_count. The ratios are taken within each run, where the four cases are
timed back to back, and their medians printed; "shared / per-thread" is the
shared store's two-thread speed-up over that of one store per thread.
Meaningful on a free-threaded interpreter (on an idle machine with a core
per thread):

    PYTHONPATH=<dir with veltrix/core and the extension> python3.15t bench/threads_python.py [CALLS] [RUNS]
"""

import json
import statistics
import sys
import threading
import time

from veltrix.core import veltrix_core as vc

N = int(sys.argv[1]) if len(sys.argv) > 1 else 400_000
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 5


def prepared(store, shape, t):
    """Thread t's loop of N calls on `store`."""
    k = 1
    while k * k < N:
        k += 1
    if shape == "add_op new":
        base = store.node_count()
        for i in range(k):
            store.add_source(f"s{t}.{i}")  # each thread its own sources: its own new nodes
        pairs = [(base + i % k, base + i // k) for i in range(N)]
        f = store.add_op
        return lambda: [f("add", [a, b], {"side": "r"}) for a, b in pairs]
    if shape == "add_source existing":
        store.add_source("x")
        f = store.add_source
        return lambda: [f("x") for _ in range(N)]
    f = store.node_count
    return lambda: [f() for _ in range(N)]


def rate(shape, threads, shared):
    stores = [vc.GraphStore()] * threads if shared else [vc.GraphStore() for _ in range(threads)]
    works = [prepared(stores[t], shape, t) for t in range(threads)]
    barrier = threading.Barrier(threads + 1)
    times = [None] * threads
    def run(t):
        barrier.wait()
        t0 = time.perf_counter()
        works[t]()
        times[t] = (t0, time.perf_counter())

    pool = [threading.Thread(target=run, args=(t,)) for t in range(threads)]
    for p in pool:
        p.start()
    barrier.wait()
    for p in pool:
        p.join()
    return N * threads / (max(e for _, e in times) - min(s for s, _ in times))


out = {}
for shape in ("add_op new", "add_source existing", "node_count"):
    ones, r2s, r2p, kept = [], [], [], []
    for _ in range(RUNS):
        s1, s2, p1, p2 = rate(shape, 1, True), rate(shape, 2, True), rate(shape, 1, False), rate(shape, 2, False)
        ones.append(s1)
        r2s.append(s2 / s1)
        r2p.append(p2 / p1)
        kept.append((s2 / s1) / (p2 / p1))
    med = statistics.median
    out[shape] = {"one_thread": med(ones), "shared_2": med(r2s), "per_thread_2": med(r2p), "kept": med(kept)}
    print(f"{shape:22s} 1 thread {med(ones) / 1e6:6.2f} M/s   2 threads: per-thread stores x{med(r2p):4.2f}"
          f"   shared x{med(r2s):4.2f}   shared / per-thread {med(kept):4.2f}", flush=True)
print(json.dumps(out))
