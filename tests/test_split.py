"""The split scoring kernels against the scalar gain formulas.

tests/cpp/split_check.cpp evaluates every vector kernel of src/split on
random candidates and compares each result bit for bit with the scalar
formula of src/split/gain.hpp; the walk over count histograms is compared
with a plain loop in each of its forms. The check is built with the kernel
versions picked at load time (AVX2 where the processor has it), with the
baseline versions only, and under AddressSanitizer.
"""
from conftest import ctest


def test_vector_kernels_equal_the_scalar_formulas(cpp_checks):
    assert "tests passed" in ctest(cpp_checks, "-R", "^split_check")
