"""Many threads calling columnarize at once, each call checked against what
one thread got for it. Meant for free-threaded interpreters (where the calls
really run side by side, argument handling included) and for sanitized ones,
but runs on any.

Around the calls, the threads replace the shared payloads with equal copies
(so the objects other threads are reading lose their last shared reference),
build and drop payloads of their own, and pass hostile arguments: min_rows
objects whose __index__ drops shared payloads, raises or overflows, keyword
names whose __str__ fails, every argument error and transform error of
workload.py.

    python thread_stress.py [--threads N] [--rounds R] [--seed S]

Prints one line of figures and exits 1 if any call differed from the
single-threaded result (the first few differences are printed).
"""

import argparse
import os
import random
import sys
import threading
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import workload  # noqa: E402
from zorvat_codec import columnarize  # noqa: E402

# Shared payloads: a 13 kB one (where the binding's share of a call is
# largest), small ones, and every failure of workload.py; the 3 MB one is
# left to the memory tests.
SHARED = [p for p in workload.PAYLOADS if len(p) < 100_000] + [workload._rows(130, "shared")]


class Replacing:
    """min_rows whose __index__ swaps a shared payload for an equal copy."""

    def __init__(self, shared, slot):
        self.shared, self.slot = shared, slot

    def __index__(self):
        self.shared[self.slot] = bytes(bytearray(self.shared[self.slot]))
        return 20


class Raising:
    def __index__(self):
        raise ValueError("no count")


class Huge:
    def __index__(self):
        return 2**64


class Count(int):
    pass


class Subclassed:
    def __index__(self):
        return Count(3)


class BadName(str):
    def __str__(self):
        raise ValueError("no name")


def outcome(call):
    try:
        return ("ok", call())
    except Exception as e:  # noqa: BLE001: the type and text are compared
        return (type(e).__name__, str(e), tuple(getattr(e, "__notes__", ())))


def cases(shared):
    """(label, call) pairs; each call's result depends only on the label."""
    made = []
    for i in range(len(shared)):
        made.append((("shared", i), lambda i=i: columnarize(shared[i])))
        made.append((("replacing", i), lambda i=i: columnarize(shared[i], Replacing(shared, i))))
    for n in (0, 1, 7, 40):
        # Built and dropped by the calling thread.
        made.append((("fresh", n), lambda n=n: columnarize(workload._rows(n, "fresh%d" % n))))
    for k, (args, kwargs) in enumerate(workload.BAD_CALLS):
        made.append((("bad", k), lambda args=args, kwargs=kwargs: columnarize(*args, **kwargs)))
    made += [
        (("raising",), lambda: columnarize(shared[0], Raising())),
        (("huge",), lambda: columnarize(shared[0], min_rows=Huge())),
        (("subclassed",), lambda: columnarize(shared[-1], Subclassed())),
        (("bad name",), lambda: columnarize(shared[0], **{BadName("rows"): 1})),
        (("bad name payload",), lambda: columnarize(**{BadName("payload"): shared[-1]})),
    ]
    return made


def run(threads, rounds, seed):
    warnings.filterwarnings("ignore", "__index__ returned non-int", DeprecationWarning)
    shared = list(SHARED)
    table = cases(shared)
    expected = {label: outcome(call) for label, call in table}
    barrier = threading.Barrier(threads)
    calls = [0] * threads
    differences = []

    def worker(n):
        rng = random.Random(seed * 1000 + n)
        order = list(table)
        barrier.wait()
        for _ in range(rounds):
            rng.shuffle(order)
            for label, call in order:
                got = outcome(call)
                calls[n] += 1
                if got != expected[label]:
                    differences.append((label, got[:2] if got[0] != "ok" else len(got[1])))

    workers = [threading.Thread(target=worker, args=(n,)) for n in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    return sum(calls), differences


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=50)
    parser.add_argument("--seed", type=int, default=1)
    options = parser.parse_args()
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    calls, differences = run(options.threads, options.rounds, options.seed)
    print(
        "thread stress: %d calls, %d threads, %d differences from one thread, GIL %s"
        % (calls, options.threads, len(differences), "on" if gil else "off")
    )
    for difference in differences[:5]:
        print("  differs:", difference)
    sys.exit(1 if differences else 0)


if __name__ == "__main__":
    main()
