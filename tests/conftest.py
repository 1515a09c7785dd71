import gc
import sys

import pytest


class LeakCheck:
    """Runs an operation many times and checks that it leaves nothing behind:
    the reference counts of the objects it is given and returns, the number
    of live objects and (with the interpreter's own allocator) the number of
    allocated memory blocks."""

    def __call__(self, operation, *watched, repeat=400, warmup=20):
        for _ in range(warmup):
            operation()
        gc.collect()
        counts = [sys.getrefcount(obj) for obj in watched]
        objects = len(gc.get_objects())
        blocks = sys.getallocatedblocks()
        for _ in range(repeat):
            operation()
        gc.collect()
        assert [sys.getrefcount(obj) for obj in watched] == counts
        # A few objects may come and go with caches; a leak grows with `repeat`.
        assert len(gc.get_objects()) - objects < repeat // 4
        if blocks:
            assert sys.getallocatedblocks() - blocks < repeat // 4

    @staticmethod
    def raising(exc_type, operation):
        """operation, expected to raise exc_type, which is swallowed."""

        def run():
            try:
                operation()
            except exc_type:
                return
            raise AssertionError(f"{exc_type.__name__} not raised")

        return run


@pytest.fixture
def leak_check():
    return LeakCheck()
