"""Calls from many threads at once, argument handling included: on a
free-threaded interpreter nothing serializes them. thread_stress.py is the
long run (scripts/test_all.sh --release runs it on the free-threaded and
sanitized interpreters); here it runs briefly on whatever runs the suite."""

import subprocess
import sys
import textwrap

import thread_stress


def test_threads_get_what_one_thread_gets():
    calls, differences = thread_stress.run(threads=4, rounds=3, seed=7)
    assert differences == []
    assert calls == 4 * 3 * len(thread_stress.cases(list(thread_stress.SHARED)))


def test_first_internal_failure_created_once_for_racing_threads():
    # The exception type is created on first need; in a fresh process, eight
    # threads need it at once (a keyword name whose __str__ runs out of
    # memory can only be reported as the internal failure). Exactly one
    # creation must win, and every thread must get that one type.
    code = textwrap.dedent(
        """
        import sys, threading
        from zorvat_codec import columnarize
        sys.unraisablehook = lambda unraisable: None
        class Name(str):
            def __str__(self):
                raise MemoryError
        barrier = threading.Barrier(8)
        types = []
        def worker():
            barrier.wait()
            for _ in range(20):
                try:
                    columnarize(b"[]", **{Name("x"): 1})
                except BaseException as e:
                    types.append(type(e))
        threads = [threading.Thread(target=worker) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len(types) == 160, len(types)
        assert len(set(types)) == 1, set(types)
        failure = types[0]
        assert failure.__qualname__ == "InternalFailure" and failure.__bases__ == (BaseException,), failure
        print("ok")
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "ok"
