"""Long fuzzing runs of the native modules.

    python tests/fuzz/run.py [--hostile] [--cases N] [--seed S] [--jobs J] [--case SEED:INDEX [--trace]]
    python tests/fuzz/run.py --atheris [libFuzzer options]

Cases are numbered; case i of seed s always makes the same calls, so any
failure is reproduced with `--case s:i`. Each worker process runs a share of
the cases and records the number of the case it is in before running it, so a
crash (the process dies) is reported with the exact case. The run goes on
after a crash with a new worker, and prints the totals at the end.

With `--hostile` the cases are hostile-host cases (`hostile.py`): hooks on
the host functions and module globals that run the collector, rewrite
records, rebind tables, clear private dicts or re-enter the entry points.
Each crash is run again alone with `--trace` (the log of what the case did)
and matched against the known faults (`known.py`), so that new ones stand out.

With `--atheris` the cases are drawn from libFuzzer's inputs instead, through
atheris (when it is installed), for coverage-guided runs.
"""

from __future__ import annotations

import argparse
import faulthandler
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import known  # noqa: E402


def cases_module(hostile: bool):
    if hostile:
        import hostile as module

        module.prepare_process()
        return module
    import harness

    return harness


def worker(seed: int, start: int, stop: int, progress_path: str, hostile: bool) -> int:
    import harness

    cases = cases_module(hostile)
    faulthandler.enable()
    fd = os.open(progress_path, os.O_RDWR)
    failures = 0

    def progress(i: int) -> None:
        os.pwrite(fd, struct.pack("<q", i), 0)

    i = start
    while i < stop:
        try:
            cases.run_cases(seed, i, stop - i, progress)
            break
        except harness.Fault as fault:
            failures += 1
            print(f"FAULT {fault}: {fault.__cause__!r}", flush=True)
            i = struct.unpack("<q", os.pread(fd, 8, 0))[0] + 1
    os.pwrite(fd, struct.pack("<q", stop), 0)
    os.close(fd)
    return 1 if failures else 0


def read_progress(path: str) -> int:
    with open(path, "rb") as f:
        data = f.read(8)
    return struct.unpack("<q", data)[0] if len(data) == 8 else -1


def native_site(report: str) -> str:
    """The sanitizer's first frame in our sources, and the kind of error."""
    kind = re.search(r"AddressSanitizer: ([\w-]+)|runtime error: ([^\n]+)", report)
    frame = re.search(r"#\d+ 0x[0-9a-f]+ in (.+?) /\S*?/src/vexlora/(\S+)", report)
    if not kind and not frame:
        return ""
    what = (kind.group(1) or kind.group(2)) if kind else "?"
    where = f"{frame.group(1)[:80]} {frame.group(2)}" if frame else "?"
    return f"; {what} at {where}"


def reproduce(seed: int, index: int, hostile: bool) -> str:
    """Output of the case run again alone, with its trace."""
    cmd = [sys.executable, os.path.abspath(__file__), "--case", f"{seed}:{index}", "--trace"]
    if hostile:
        cmd.append("--hostile")
    try:
        done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        return "reproduction timed out"
    return f"reproduction exit {done.returncode}\n{done.stdout}"


def supervise(cases: int, seed: int, jobs: int, hostile: bool = False) -> int:
    """Run cases 0..cases-1 of `seed` over `jobs` worker processes."""
    started = time.monotonic()
    share = -(-cases // jobs)
    pending = [(seed, j * share, min(cases, (j + 1) * share)) for j in range(jobs) if j * share < cases]
    running = []
    crashes = []
    faults = 0
    new_faults = 0
    known_seen = {}
    completed = 0  # cases that ran to their end (or crashed)
    tmp = tempfile.mkdtemp(prefix="vexlora-fuzz-")

    def launch(task):
        s, start, stop = task
        path = os.path.join(tmp, f"{s}-{start}")
        with open(path, "wb") as f:
            f.write(struct.pack("<q", start))
        cmd = [
            sys.executable,
            os.path.abspath(__file__),
            "--worker",
            str(s),
            str(start),
            str(stop),
            path,
            "hostile" if hostile else "plain",
        ]
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        running.append((proc, task, path))

    for task in pending[:jobs]:
        launch(task)
    pending = pending[jobs:]
    while running:
        proc, (s, start, stop), path = running.pop(0)
        output = proc.communicate()[0]
        faults += output.count("FAULT ")
        for block in output.split("FAULT ")[1:]:
            label = known.classify("FAULT " + block + "\n" + reproduce(s, int(block.split(":")[1].split()[0]), hostile))
            if label is None:
                new_faults += 1
            else:
                known_seen[label] = known_seen.get(label, 0) + 1
            print(f"FAULT [{label or 'NEW'}] {block.strip()[:400]}", flush=True)
        if proc.returncode == 1 and "FAULT " not in output:
            # Exit 1 without a fault: the worker itself failed (it could not
            # import the modules, say); its cases did not run.
            new_faults += 1
            crashes.append(f"{s}:{read_progress(path)}")
            completed += max(0, read_progress(path) - start)
            print(
                f"WORKER FAILED for cases {s}:{start}..{stop - 1}:\n" + "\n".join(output.splitlines()[-25:]), flush=True
            )
        elif proc.returncode in (0, 1):
            completed += stop - start
        if proc.returncode not in (0, 1):
            at = read_progress(path)
            completed += at - start + 1
            crashes.append(f"{s}:{at}")
            again = reproduce(s, at, hostile)
            # The case run alone (its trace, and the crash report): what the
            # worker printed before may belong to earlier cases.
            label = known.classify(again)
            if label is None:
                new_faults += 1
            else:
                known_seen[label] = known_seen.get(label, 0) + 1
            flag = " --hostile" if hostile else ""
            print(
                f"CRASH [{label or 'NEW'}] in case {s}:{at} (exit {proc.returncode}); "
                f"reproduce with --case {s}:{at}{flag} --trace{native_site(again)}",
                flush=True,
            )
            print("\n".join(output.splitlines()[-25:]), flush=True)
            lines = again.splitlines()
            steps = [line for line in lines if not line.startswith(("  File", "Current thread", "Fatal Python"))]
            print("--- run alone (trace):\n" + "\n".join(steps[:40]), flush=True)
            print("--- run alone (end):\n" + "\n".join(lines[-30:]), flush=True)
            if at + 1 < stop:
                launch((s, at + 1, stop))
        if pending:
            launch(pending.pop(0))
    shutil.rmtree(tmp, ignore_errors=True)
    elapsed = time.monotonic() - started
    print(
        f"cases run: {completed} of {cases}  crashes: {len(crashes)}  faults: {faults}  "
        f"time: {elapsed:.0f} s  ({completed / max(elapsed, 1e-9):.0f} cases/s)",
        flush=True,
    )
    print(
        f"new: {new_faults}  known: " + (", ".join(f"{k} x{v}" for k, v in sorted(known_seen.items())) or "none"),
        flush=True,
    )
    return 1 if crashes or faults else 0


def run_one(case: str, hostile: bool, trace: bool) -> int:
    cases = cases_module(hostile)
    faulthandler.enable()
    if trace and hostile:
        cases.TRACE = sys.stdout
    seed, index = (int(x) for x in case.split(":"))
    cases.run_case(cases.case_source(seed, index))
    print("case passed")
    return 0


def run_atheris(argv: list[str]) -> int:
    import atheris

    with atheris.instrument_imports():
        import harness

    def one_input(data: bytes) -> None:
        harness.run_case(harness.ProviderSource(atheris.FuzzedDataProvider(data)))

    atheris.Setup([sys.argv[0]] + argv, one_input)
    atheris.Fuzz()
    return 0


def main() -> int:
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        seed, start, stop, path, mode = sys.argv[2:7]
        return worker(int(seed), int(start), int(stop), path, mode == "hostile")
    if len(sys.argv) > 1 and sys.argv[1] == "--atheris":
        return run_atheris(sys.argv[2:])
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cases", type=int, default=1_000_000)
    parser.add_argument("--seed", type=int, default=int(time.time()) % 100_000)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--case", help="run one case, SEED:INDEX, in this process")
    parser.add_argument("--hostile", action="store_true", help="hostile-host cases")
    parser.add_argument("--trace", action="store_true", help="with --case: log what a hostile case does")
    args = parser.parse_args()
    if args.case:
        return run_one(args.case, args.hostile, args.trace)
    mode = "hostile-host" if args.hostile else "plain"
    print(f"fuzzing {args.cases} {mode} cases, seed {args.seed}, {args.jobs} jobs", flush=True)
    return supervise(args.cases, args.seed, max(1, args.jobs), args.hostile)


if __name__ == "__main__":
    sys.exit(main())
