"""Runs the engine's stress driver and prediction-copy check against the
sanitized engine builds of tests/cpp (AddressSanitizer with
UndefinedBehaviorSanitizer on every path, ThreadSanitizer on the parallel
ones). Skipped only when the compiler cannot run sanitized programs."""
import pytest

from conftest import ctest


@pytest.mark.parametrize("label", ["asan", "tsan"])
def test_engine_is_clean_under_sanitizers(cpp_checks, label):
    out = ctest(cpp_checks, "-L", label, timeout=1800)
    if "No tests were found" in out:
        pytest.skip(f"the compiler cannot build {label} programs")
    assert "tests passed" in out
