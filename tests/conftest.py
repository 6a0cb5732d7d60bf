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
    """The test-only module `_dorv_testing`: importable when the tests run on a build directory;
    otherwise the newest one under build/ (an installed package leaves it in the build tree)."""
    try:
        return importlib.import_module("_dorv_testing")
    except ImportError:
        pass
    root = pathlib.Path(__file__).resolve().parents[1]
    built = sorted(root.glob("build/*/_dorv_testing.*.so"), key=lambda p: p.stat().st_mtime)
    if not built:
        pytest.skip("the test-only module _dorv_testing is not built (cmake --build build/<dir>)")
    found = importlib.util.spec_from_file_location("_dorv_testing", built[-1])
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    sys.modules["_dorv_testing"] = module
    return module
