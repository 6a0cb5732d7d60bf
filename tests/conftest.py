import os
import subprocess
import sys
import textwrap

import pytest

# Address-space cap for child processes: a huge request then fails in malloc instead of
# filling the shared machine's memory, and a crash fails one test rather than the suite.
CHILD_LIMIT = 4 << 30


@pytest.fixture
def run_isolated():
    """Run Python source in a fresh interpreter under CHILD_LIMIT; return the finished process."""

    def run(source):
        prelude = f"import resource\nresource.setrlimit(resource.RLIMIT_AS, ({CHILD_LIMIT},) * 2)\n"
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(source)],
                              capture_output=True, text=True, env=env, timeout=120)

    return run
