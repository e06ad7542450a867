"""Runs every benchmark in both environments and prints one table of their ratios against
their targets, so that a regression shows at a glance. Each benchmark prints its headline
figures as lines "<name> ratio: <x>x (target <= <t>x)" or "... (report only)".

Usage: python bench/run_all.py [BENCHMARK ...]   (names like engine or bench_engine; all when
none are given). Run scripts/bench.sh to set up and build first."""

import pathlib
import re
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
LANES = {"pydantic 2": ROOT / ".venv/bin/python", "pydantic 1": ROOT / ".venv-pydantic1/bin/python"}
RATIO = re.compile(r"^(?P<name>.+?) ratio: (?P<ratio>\d+(?:\.\d+)?)x"
                   r" \((?:target <= (?P<target>\d+(?:\.\d+)?)x|report only)\)")


def benchmarks(wanted):
    found = sorted((ROOT / "bench").glob("bench_*.py"))
    if not wanted:
        return found
    chosen = [path for path in found if path.stem in wanted or path.stem[len("bench_"):] in wanted]
    unknown = set(wanted) - {p.stem for p in chosen} - {p.stem[len("bench_"):] for p in chosen}
    if unknown:
        sys.exit(f"unknown benchmark: {', '.join(sorted(unknown))}")
    return chosen


def run(python, script):
    """The ratio lines of one benchmark run, or the reason it failed."""
    started = time.monotonic()
    done = subprocess.run([str(python), "-P", str(script)], capture_output=True, text=True,
                          cwd=tempfile.gettempdir(), timeout=900)
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["no output"])[-1]
        return [], f"failed ({done.returncode}): {last}", time.monotonic() - started
    rows = [m.groupdict() for m in map(RATIO.match, done.stdout.splitlines()) if m]
    return rows, None, time.monotonic() - started


def main():
    table = []
    failures = 0
    for script in benchmarks(sys.argv[1:]):
        for lane, python in LANES.items():
            print(f"running {script.stem} ({lane})...", file=sys.stderr, flush=True)
            rows, error, seconds = run(python, script)
            if error:
                table.append((script.stem, lane, "-", "-", error))
                failures += 1
                continue
            for row in rows:
                ratio = float(row["ratio"])
                target = row["target"]
                verdict = "report" if target is None else ("pass" if ratio <= float(target) else "FAIL")
                failures += verdict == "FAIL"
                table.append((f"{script.stem}: {row['name']}", lane, f"{ratio:.2f}x",
                              f"<= {target}x" if target else "-", verdict))
    widths = [max(len(str(row[i])) for row in table + [HEADER]) for i in range(len(HEADER))]
    for row in [HEADER] + table:
        print("  ".join(str(cell).ljust(width) for cell, width in zip(row, widths)).rstrip())
    print(f"{failures} below target or failed, of {len(table)} rows")


HEADER = ("benchmark", "lane", "ratio", "target", "result")

if __name__ == "__main__":
    main()
