"""No C++ exception reaches the interpreter: std::bad_alloc becomes
MemoryError, anything else a SystemError naming the method, and the process
goes on.  The probe module (built for the tests only) throws on demand; the
two modules are driven out of memory under a limit, in a child process."""
import os
import subprocess
import sys
import textwrap

import pytest

import _velkor_exception_probe as probe

UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.parametrize(
    "method, args, error, message",
    [
        ("throw_bad_alloc", (), MemoryError, ""),
        ("throw_runtime_error", ("boom",), SystemError,
         "native method Probe.throw_runtime_error raised a C++ exception: boom"),
        ("throw_unknown", (), SystemError,
         "native method Probe.throw_unknown raised a C++ exception of unknown type"),
    ],
)
def test_a_cpp_exception_becomes_a_python_exception(leak_check, method, args, error, message):
    instance = probe.Probe()
    with pytest.raises(error) as raised:
        getattr(instance, method)(*args)
    assert str(raised.value) == message
    leak_check(leak_check.raising(error, lambda: getattr(instance, method)(*args)), instance)


def test_the_recursion_depth_is_given_back_on_the_way_out():
    # More calls than any recursion limit: one level kept per call would end
    # in RecursionError.
    instance = probe.Probe()
    for _ in range(20_000):
        with pytest.raises(SystemError):
            instance.throw_runtime_error("boom")
    assert instance.call(lambda: "still working") == "still working"


def test_an_exception_stops_at_the_innermost_native_method():
    instance = probe.Probe()
    seen = []

    def python_between():
        try:
            instance.throw_runtime_error("inner")
        except SystemError as error:
            seen.append(str(error))
            raise KeyError("outer")

    with pytest.raises(KeyError, match="outer"):
        instance.call(python_between)
    assert seen == ["native method Probe.throw_runtime_error raised a C++ exception: inner"]


# The child limits its own memory to what it uses now plus a margin, then
# runs `body`; it prints what it saw.
CHILD = """
import resource
from types import SimpleNamespace

from velkor.migration.class_foundry import DefaultMigrationSchemas

MARGIN = 64 << 20


def limit_memory():
    if {use_rlimit}:
        with open("/proc/self/statm") as statm:
            in_use = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (in_use + MARGIN, resource.RLIM_INFINITY))


registry = DefaultMigrationSchemas()
{body}
"""

# Under AddressSanitizer an address-space limit means nothing (it reserves
# terabytes of address space at start): its allocator is capped instead, so
# that a large malloc fails as it would under a limit.
ASAN_CAP = ":allocator_may_return_null=1:max_allocation_size_mb=128"


def run_limited(body):
    env = dict(os.environ)
    if UNDER_ASAN:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ASAN_CAP
    code = CHILD.format(use_rlimit=not UNDER_ASAN, body=textwrap.dedent(body))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_a_huge_text_default_is_a_memory_error_and_the_process_goes_on():
    # 40 MB of characters that each need a four-character escape: the
    # literal does not fit in the margin.
    lines = run_limited("""
        huge = SimpleNamespace(type="string", items=None, default="\\0" * (40 << 20))
        limit_memory()
        try:
            registry._render_property("n", huge, ["n"])
        except MemoryError:
            print("MemoryError")
        del huge
        small = SimpleNamespace(type="string", items=None, default="it's")
        print(registry._render_property("n", small, ["n"]))
    """)
    assert lines == ["MemoryError", r"n: str = 'it\'s'"]


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer ends the process when operator new "
                                       "fails, where the C++ runtime throws std::bad_alloc")
def test_a_compile_result_too_large_for_memory_is_a_memory_error():
    # The pairs are unpacked into a C++ vector before the registry changes;
    # eight million of them need more than the margin.
    lines = run_limited("""
        registry._buffered_classes.append(("A", None, None))
        pairs = [("A", int)] * 8_000_000
        registry._compile_buffered_classes = lambda: pairs
        limit_memory()
        try:
            registry.compile_buffered_classes()
        except MemoryError:
            print("MemoryError")
        print(registry._classes, len(registry._buffered_classes))
    """)
    assert lines == ["MemoryError", "{} 1"]
