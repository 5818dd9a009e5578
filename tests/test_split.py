"""The split scoring kernels against the scalar gain formulas.

tests/cpp/split_check.cpp evaluates every vector kernel of src/split on
random candidates and compares each result bit for bit with the scalar
formula of src/split/gain.hpp; the walk over count histograms is compared
with a plain loop in each of its forms. The check is built once with the
kernel versions picked at load time (AVX2 where the processor has it) and
once with the baseline versions only.
"""
import subprocess

import pytest

from conftest import compile_cpp


@pytest.mark.parametrize("flags", [[], ["-DTW_NO_VECTOR_CLONES"]], ids=["load-time", "baseline"])
def test_vector_kernels_equal_the_scalar_formulas(tmp_path_factory, flags):
    exe = compile_cpp(tmp_path_factory, "split_check",
                      ["tests/cpp/split_check.cpp", "src/split/kernels.cpp"], flags=flags)
    res = subprocess.run([str(exe)], capture_output=True, text=True, timeout=300)
    assert res.returncode == 0 and res.stdout.strip() == "ok", res.stdout + res.stderr
