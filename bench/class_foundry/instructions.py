"""The measurements of bench_class_foundry.py as instruction counts, for a
shared machine where wall time is too noisy to compare a few per cent.

    PYTHONPATH=build/<name>/site .venv/bin/python bench/class_foundry/instructions.py [classes]

Each operation runs in its own process under callgrind, after the same
set-up; a process that runs the set-up alone is subtracted.  The collector
runs once after each set-up, so that every measure starts from the same heap.  Counts leave out
cache and memory effects, so they complement the timings rather than replace
them.
"""
import gc
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
REPEAT = 2000  # builds of the ten-property schema


def run_mode(mode, n):
    sys.path.insert(0, HERE)
    import bench_class_foundry as bench
    from velkor.migration.class_foundry import DefaultMigrationSchemas
    from velkor_utils.models.enums import SchemaTypes

    if mode in ("small", "native", "plain"):
        schema = bench.make_schema(12)
        del schema.properties["count"]
        schema = bench.stand_in(schema)
        with bench.stand_ins_installed():
            native = bench.zero_cost_templates(DefaultMigrationSchemas())
            plain = bench.zero_cost_templates(bench.PlainSchemas())
            for o in (native, plain):
                o._build_class_source("C12", schema, bench.APP)
            gc.collect()
            o = {"small": None, "native": native, "plain": plain}[mode]
            for _ in range(REPEAT if o else 0):
                o._build_class_source("C12", schema, bench.APP)
        return
    entries = bench.batch(n)
    text = bench.captured_module_text(entries)
    registry = bench.registered(entries)
    reads = bench.template_reads(registry, entries)
    own_entries = bench.own_work_entries(entries)
    gc.collect()
    if mode == "compile":
        registry.compile_buffered_classes()
    elif mode == "host":
        eval(compile(text, "classes", "exec"), {})
    elif mode == "build":
        for name, schema in entries:
            registry._build_class_source(name, schema, SchemaTypes.APP)
    elif mode == "reads":
        for _ in range(reads):
            registry.model_class_template.read_text()
    elif mode == "fingerprint":
        for _, schema in entries:
            bench.calculate_schema_fingerprint(schema)
    elif mode == "custom":
        for _, schema in entries:
            registry._process_custom_code(schema.custom_code)
    elif mode == "own":
        with bench.stand_ins_installed():
            own = bench.zero_cost_templates(DefaultMigrationSchemas())
            for name, schema in own_entries:
                own._build_class_source(name, schema, bench.APP)


def count(mode, n):
    out = os.path.join("/tmp", f"class_foundry_callgrind.{os.getpid()}.{mode}")
    result = subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__, "--mode", mode, str(n)],
        capture_output=True, text=True, env=os.environ,
    )
    os.remove(out)
    match = re.search(r"Collected : (\d+)", result.stderr)
    if not match:
        raise RuntimeError(result.stderr[-2000:])
    return int(match.group(1))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--mode"]:
        run_mode(sys.argv[2], int(sys.argv[3]))
        sys.exit()
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    modes = ("setup", "compile", "host", "build", "reads", "fingerprint", "custom", "own", "small", "native", "plain")
    counts = {mode: count(mode, n) for mode in modes}
    extra = {mode: counts[mode] - counts["small" if mode in ("native", "plain") else "setup"] for mode in counts}
    print(f"{n} classes, instructions: compile_buffered_classes {extra['compile'] / 1e6:.0f} M,"
          f" compile+eval of its text {extra['host'] / 1e6:.0f} M, ratio {extra['compile'] / extra['host']:.3f};"
          f" _build_class_source {extra['build'] / n / 1e3:.0f} k per class")
    print("  of which, per class: " + ", ".join(
        f"{label} {extra[mode] / n / 1e3:.0f} k" for mode, label in
        [("reads", "template reads"), ("fingerprint", "fingerprint"), ("custom", "custom code"), ("own", "the module's own work")]
    ))
    print(f"ten-property _build_class_source with stand-ins: native {extra['native'] / REPEAT / 1e3:.1f} k,"
          f" plain Python {extra['plain'] / REPEAT / 1e3:.1f} k instructions, ratio {extra['plain'] / extra['native']:.2f}")
