import gc
import os
import sys
import uuid

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
        for attempt in range(2):
            objects = len(gc.get_objects())
            blocks = sys.getallocatedblocks()
            for _ in range(repeat):
                operation()
            gc.collect()
            assert [sys.getrefcount(obj) for obj in watched] == counts
            # A few objects may come and go with caches, and a cache may fill
            # once; a leak grows with `repeat`, in every round.
            grown = len(gc.get_objects()) - objects >= repeat // 4 or (
                blocks and sys.getallocatedblocks() - blocks >= repeat // 4)
            if not grown:
                return
        raise AssertionError(f"the operation leaves objects or memory blocks behind: "
                             f"{len(gc.get_objects()) - objects} objects, "
                             f"{sys.getallocatedblocks() - blocks} blocks more after {repeat} calls")

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


# -- the servers of tools/test-servers ---------------------------------------

SERVERS_REQUIRED = os.environ.get("VELKOR_TEST_SERVERS_REQUIRED") == "1"


def _without(what: str) -> None:
    """A test that needs a server nobody started: skipped for a developer, failed
    where the servers are required (make test, CI)."""
    message = (f"no {what}: run the tests through `tools/test-servers run ...` "
               "(as `make test` does), or `tools/test-servers start` and load build/test-servers/env")
    if SERVERS_REQUIRED:
        pytest.fail(message)
    pytest.skip(message)


class Servers:
    """The PostgreSQL and S3-compatible servers the test run was given: a new,
    empty database or lakehouse prefix for each use."""

    def __init__(self) -> None:
        self.postgres_url = os.environ.get("VELKOR_TEST_POSTGRES_URL")
        self.s3_endpoint = os.environ.get("VELKOR_TEST_S3_ENDPOINT")
        self.bucket = os.environ.get("VELKOR_TEST_S3_BUCKET")
        self._admin = None
        self._made: list[str] = []

    def _postgres(self):
        if self._admin is None:
            if not self.postgres_url:
                _without("PostgreSQL server (VELKOR_TEST_POSTGRES_URL is not set)")
            import psycopg
            try:
                self._admin = psycopg.connect(self.postgres_url, autocommit=True, connect_timeout=10)
            except psycopg.Error as exc:
                _without(f"PostgreSQL server at {self.postgres_url} ({str(exc).splitlines()[0]})")
        return self._admin

    def database(self) -> str:
        """The URL of a new database, named after no one else's."""
        name = f"t_{uuid.uuid4().hex[:16]}"
        self._postgres().execute(f'CREATE DATABASE "{name}"')
        self._made.append(name)
        return self.postgres_url.rsplit("/", 1)[0] + "/" + name

    def admin(self):
        """A connection to the server's maintenance database (to look at or end sessions)."""
        return self._postgres()

    def lakehouse(self) -> str:
        """A new prefix in the bucket: s3://bucket/PREFIX."""
        if not (self.s3_endpoint and self.bucket):
            _without("S3-compatible server (VELKOR_TEST_S3_ENDPOINT is not set)")
        return f"s3://{self.bucket}/{uuid.uuid4().hex[:16]}"

    def close(self) -> None:
        if self._admin is not None:
            for name in self._made:
                try:
                    self._admin.execute(f'DROP DATABASE IF EXISTS "{name}" WITH (FORCE)')
                except Exception:
                    pass
            self._admin.close()


@pytest.fixture(scope="session")
def servers():
    found = Servers()
    yield found
    found.close()


@pytest.fixture
def postgres_url(servers) -> str:
    """A new, empty PostgreSQL database."""
    return servers.database()


@pytest.fixture
def s3_lakehouse(servers) -> str:
    """A new, empty lakehouse location on the S3-compatible server."""
    return servers.lakehouse()
