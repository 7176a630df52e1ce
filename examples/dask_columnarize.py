"""Columnarize every file of a folder on a Dask cluster.

    python examples/dask_columnarize.py ROWS_DIR OUT_DIR
    python examples/dask_columnarize.py ROWS_DIR OUT_DIR --scheduler tcp://host:8786

Each file of ROWS_DIR (not its subfolders) becomes one task: a worker reads
it, calls zorvat_codec.columnarize and writes the document to OUT_DIR under
the same name. Without --scheduler the script starts a local cluster of worker
processes and stops it at the end. With --scheduler, every worker needs
zorvat_codec installed and must see both folders at the same paths (a shared
filesystem): only paths travel through the cluster, never the data.

A file that fails is reported on standard error with the exception the
worker raised, e.g. "bad.json: RuntimeError: invalid row-oriented JSON: ...",
and gets no output. The summary goes to standard output. Exit status: 0 when
every file was written, 1 when any failed, 2 for a usage error or a
scheduler that cannot be reached (within CONNECT_TIMEOUT seconds).
"""

import argparse
import contextlib
import os
import sys
import time
from pathlib import Path

from dask.distributed import Client, LocalCluster, as_completed

import zorvat_codec

# Seconds to keep trying a --scheduler address before giving up on it.
CONNECT_TIMEOUT = 5


def columnarize_file(source: str, target: str, min_rows: int) -> int:
    """Runs on a worker. Returns the size of the document written."""
    document = zorvat_codec.columnarize(Path(source).read_bytes(), min_rows)
    # Written under a temporary name and renamed, so OUT_DIR never holds half
    # a document, even when Dask reruns the task after losing a worker.
    partial = f"{target}.partial"
    Path(partial).write_bytes(document)
    os.replace(partial, target)
    return len(document)


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Columnarize every file of a folder on a Dask cluster.")
    parser.add_argument("rows_dir", type=Path, help="folder of row-oriented JSON files")
    parser.add_argument("out_dir", type=Path, help="folder for the documents (created if missing)")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="a running cluster's scheduler, e.g. tcp://host:8786 (default: start a local cluster)")
    parser.add_argument("--workers", type=int, default=2, help="local cluster: worker processes (default: 2)")
    parser.add_argument("--threads", type=int, default=1,
                        help="local cluster: threads per worker (default: 1); the transform runs without the GIL, "
                             "so threads add throughput like processes do")
    parser.add_argument("--min-rows", type=int, default=20, help="passed to columnarize (default: 20)")
    args = parser.parse_args(argv)
    if not args.rows_dir.is_dir():
        parser.error(f"not a folder: {args.rows_dir}")
    if args.out_dir.resolve() == args.rows_dir.resolve():
        parser.error("the output folder must differ from the input folder")
    return args


def connect(args, stack):
    if args.scheduler:
        try:
            return stack.enter_context(Client(args.scheduler, timeout=CONNECT_TIMEOUT))
        except (OSError, ValueError) as e:  # refused, timed out, or not an address
            print(f"{Path(sys.argv[0]).name}: could not reach the scheduler at {args.scheduler}: "
                  f"{str(e).splitlines()[0] if str(e) else type(e).__name__}", file=sys.stderr)
            sys.exit(2)
    cluster = stack.enter_context(
        LocalCluster(n_workers=args.workers, threads_per_worker=args.threads, processes=True,
                     dashboard_address=None))
    return stack.enter_context(Client(cluster))


def main(argv=None):
    args = parse_args(argv)
    sources = sorted(p for p in args.rows_dir.iterdir() if p.is_file())
    bytes_in = sum(p.stat().st_size for p in sources)
    bytes_out = 0
    failures = 0

    with contextlib.ExitStack() as stack:
        client = connect(args, stack)
        args.out_dir.mkdir(parents=True, exist_ok=True)
        start = time.perf_counter()
        # Absolute paths, since the workers' working folder is not ours;
        # pure=False because each task writes a file.
        futures = client.map(columnarize_file,
                             [str(p.resolve()) for p in sources],
                             [str((args.out_dir / p.name).resolve()) for p in sources],
                             min_rows=args.min_rows, pure=False)
        names = {future.key: source.name for future, source in zip(futures, sources)}
        for future in as_completed(futures):
            if future.status == "error":
                error = future.exception()  # the worker's own exception, text unchanged
                print(f"{names[future.key]}: {type(error).__name__}: {error}", file=sys.stderr)
                failures += 1
            else:
                bytes_out += future.result()
        seconds = time.perf_counter() - start

    print(f"files: {len(sources)} ({len(sources) - failures} written, {failures} failed)")
    print(f"bytes: {bytes_in} in, {bytes_out} out")
    print(f"seconds: {seconds:.2f} (the cluster's start excluded)")
    return 1 if failures else 0


if __name__ == "__main__":
    # The guard matters: the local cluster's worker processes import this file.
    sys.exit(main())
