"""python -m bench: every benchmark of the project, one after another.

Each one compares, side by side in one run, our code with what it stands
beside (the host's compile and eval, the same storage calls made from
Python, the two modules under the runner, the runner beside Alembic) and
prints ratios.
"""
import runpy
import sys

BENCHMARKS = ["bench.class_foundry", "bench.ledger_vault", "bench.runner", "bench.runner.peer"]


def main() -> None:
    for name in BENCHMARKS:
        print(f"\n=== {name} ===", flush=True)
        sys.argv = [name]
        runpy.run_module(name, run_name="__main__")


main()
