import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


def compile_cpp(tmp_path_factory, name, sources, flags=()):
    """Builds a small C++ program from repository-relative sources against
    the engine headers; skips the calling test when no compiler exists."""
    import shutil
    import subprocess
    from pathlib import Path

    cxx = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if cxx is None:
        pytest.skip("no C++ compiler")
    repo = Path(__file__).resolve().parents[1]
    exe = tmp_path_factory.mktemp(name) / name
    subprocess.run([cxx, "-std=c++20", "-O1", "-ffp-contract=off", "-I", str(repo / "src"),
                    *flags, *(str(repo / s) for s in sources), "-o", str(exe)],
                   check=True, capture_output=True, timeout=600)
    return exe
