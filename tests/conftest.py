import importlib
import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

# Address-space cap for child processes: a huge request then fails in malloc instead of
# filling the shared machine's memory, and a crash fails one test rather than the suite.
CHILD_LIMIT = 4 << 30
# AddressSanitizer reserves terabytes of address space for its shadow memory and cannot start
# under the cap; its own limit on single allocations (tools/sanitize.sh) stands in for it.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.fixture
def run_isolated():
    """Run Python source in a fresh interpreter under CHILD_LIMIT; return the finished process."""

    def run(source):
        prelude = "" if SANITIZED else \
            f"import resource\nresource.setrlimit(resource.RLIMIT_AS, ({CHILD_LIMIT},) * 2)\n"
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(source)],
                              capture_output=True, text=True, env=env, timeout=120)

    return run


@pytest.fixture
def raises_memory_error(run_isolated):
    """Run `call`, an expression on `np` and `dc`, in an isolated child; assert MemoryError."""

    def check(call):
        proc = run_isolated(
            f"import numpy as np, dorv_core as dc\ntry:\n    {call}\n"
            "except MemoryError:\n    print('MemoryError')\n"
        )
        assert proc.returncode == 0 and proc.stdout.strip() == "MemoryError", proc.stderr

    return check


@pytest.fixture(scope="session")
def native_testing():
    """The test-only module `_dorv_testing` (built with -DDORV_TESTING=ON): the file named by
    DORV_TESTING_MODULE, else the module on the import path (a build directory on PYTHONPATH)."""
    path = os.environ.get("DORV_TESTING_MODULE")
    if not path:
        try:
            return importlib.import_module("_dorv_testing")
        except ImportError:
            pytest.skip("the test-only module _dorv_testing is not built: configure with "
                        "-DDORV_TESTING=ON and set DORV_TESTING_MODULE to the built file")
    found = importlib.util.spec_from_file_location("_dorv_testing", path)
    if found is None or not pathlib.Path(path).is_file():
        pytest.fail(f"DORV_TESTING_MODULE={path!r} is not a built module")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    sys.modules["_dorv_testing"] = module
    return module
