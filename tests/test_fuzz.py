"""Generated calls of the whole module surface, run in a child process by tests/fuzz_driver.py,
and the conversion rules the fuzzing relies on."""

import os
import pathlib
import subprocess
import sys
import warnings

import numpy as np
import pytest

import dorv_core as dc

DRIVER = pathlib.Path(__file__).with_name("fuzz_driver.py")
# A CI-sized run by default; DORV_FUZZ_CASES=100000 (and DORV_FUZZ_SEED) for a long one.
CASES = int(os.environ.get("DORV_FUZZ_CASES", "4000"))
SEED = int(os.environ.get("DORV_FUZZ_SEED", "1234"))


def test_fuzz_module_surface():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    command = [sys.executable, str(DRIVER), "--cases", str(CASES), "--seed", str(SEED)]
    try:
        proc = subprocess.run(command, capture_output=True, text=True, env=env,
                              timeout=max(900, CASES))
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode() if isinstance(e.stdout, bytes) else e.stdout or ""
        pytest.fail("fuzz driver timed out; last call:\n" + "\n".join(out.splitlines()[-1:]))
    lines = proc.stdout.splitlines()
    failures = [line for line in lines if line.startswith("FAIL")]
    # A crash or the watchdog leaves the offending call as the last case line.
    assert proc.returncode == 0, "\n".join(
        failures[:20] + lines[-2:] + [f"exit status {proc.returncode}", proc.stderr[-3000:]])
    assert lines[-1].startswith(f"fuzz: {CASES} cases"), lines[-1]


COMPLEX = {
    "complex array": lambda: dc.mad(np.array([1.0, 2.0 + 1.0j])),
    "complex with zero imaginary part": lambda: dc.mad(np.array([1.0, 2.0], dtype=complex)),
    "list of complex": lambda: dc.ols([[1.0], [1j]], [1.0, 2.0]),
    "object array of complex": lambda: dc.mad(np.array([1.0, np.complex128(2.0)], dtype=object)),
    "complex scalar as float": lambda: dc.compute_sr([1.0], [1.0], np.complex128(0.5)),
    "complex in bounds": lambda: dc.build_penalty_matrices_nd([1], [(0.0, np.complex64(1.0))]),
    "complex list of vectors": lambda: dc.design_matrix_nd([[1]], [np.ones(2, complex)]),
}


@pytest.mark.parametrize("action", ["error", "ignore", "default"])
@pytest.mark.parametrize("call", COMPLEX.values(), ids=COMPLEX.keys())
def test_complex_input_is_refused_whatever_the_warning_filter(call, action):
    # Converting complex to double would drop the imaginary part; refused before NumPy could
    # warn, so the outcome does not depend on the filters.
    with warnings.catch_warnings():
        warnings.simplefilter(action)
        with pytest.raises(TypeError, match="must be a.* real number"):
            call()


def test_complex_optional_matrix_is_a_cast_error():
    with pytest.raises(RuntimeError, match=r"R1 must be None or a 2-D .*dtype complex128\Z"):
        dc.fit_regularized_linear(np.ones((2, 1)), [1.0, 2.0], np.array([[1.0 + 0j]]), gamma1=1.0)


@pytest.mark.parametrize("y", [
    np.array([1, 2, 3, 4, 100]), np.array([1, 2, 3, 4, 100], dtype=np.uint8),
    np.array([1, 2, 3, 4, 100], dtype=object), np.array(["1", "2", "3", "4", "100"]),
    np.array([1.0, 2.0, 3.0, 4.0, 100.0], dtype=np.float32)[::-1],
], ids=["int64", "uint8", "object", "str", "float32-reversed"])
def test_real_arrays_of_other_types_convert(y):
    assert dc.mad(y) == 1.0


BEYOND_MEMORY = {
    "broadcast vector": "dc.mad(np.broadcast_to(1.0, (1 << 50,)))",
    "broadcast matrix": "dc.ols(np.broadcast_to(1.0, (1 << 25, 1 << 25)), np.zeros(1 << 25))",
    "empty design, huge result": "dc.ols(np.zeros((0, 1 << 50)), [])",
    "empty design, huge system": "dc.fit_regularized_linear(np.zeros((0, 1 << 30)), [])",
}


@pytest.mark.parametrize("call", BEYOND_MEMORY.values(), ids=BEYOND_MEMORY.keys())
def test_copies_and_results_beyond_memory_are_refused(raises_memory_error, call):
    # Inputs that cost nothing, whose copies or results would need petabytes.
    raises_memory_error(call)
