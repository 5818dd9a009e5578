import contextlib
import faulthandler
import os
import resource
import shutil
import subprocess
from pathlib import Path

import numpy as np
import pytest


@pytest.fixture
def rng():
    return np.random.default_rng(12345)


REPO = Path(__file__).resolve().parents[1]
DATA = REPO / "tests" / "data"


@pytest.fixture(scope="session")
def cpp_checks(tmp_path_factory):
    """Builds the C++ checks (tests/cpp, the project's -DTW_CHECKS=ON build)
    once per session and returns the folder holding their executables.

    The build lives in build-checks/ beside the sources (or TW_CHECKS_DIR)
    so that later sessions rebuild only what changed."""
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.fail("cmake is needed to build the C++ checks (pip install cmake)")
    build = Path(os.environ.get("TW_CHECKS_DIR", REPO / "build-checks"))
    try:
        build.mkdir(parents=True, exist_ok=True)
        (build / ".probe").touch()
    except OSError:
        build = tmp_path_factory.mktemp("checks")
    if not (build / "CMakeCache.txt").exists():
        gen = ["-G", "Ninja"] if shutil.which("ninja") else []
        run([cmake, "-S", str(REPO), "-B", str(build), *gen, "-DTW_CHECKS=ON",
             "-DCMAKE_BUILD_TYPE=Release"], timeout=600)
    run([cmake, "--build", str(build), "-j2"], timeout=1800)
    return build


def run(cmd, timeout):
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, f"{cmd} failed:\n{proc.stdout[-4000:]}\n{proc.stderr[-8000:]}"
    return proc


@pytest.fixture(scope="session")
def cpp_exe(cpp_checks):
    """Path of one C++ check executable, by target name."""
    return lambda name: cpp_checks / "tests" / "cpp" / name


def ctest(build, *args, timeout=1800):
    """Runs CTest on the checks build; returns its output, asserting success."""
    ctest_bin = shutil.which("ctest") or str(Path(shutil.which("cmake")).parent / "ctest")
    proc = subprocess.run([ctest_bin, "--test-dir", str(build), "--output-on-failure", *args],
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stdout[-6000:] + proc.stderr[-4000:]
    return proc.stdout


# The fuzz suites' run length: short and deterministic by default,
# TARNWOOD_FUZZ=long for many random examples (TARNWOOD_FUZZ_EXAMPLES sets
# the count per property).
FUZZ_LONG = os.environ.get("TARNWOOD_FUZZ", "") == "long"
FUZZ_HANG_SECONDS = 600 if FUZZ_LONG else 120


def fuzz_profile(name, short_examples, long_examples):
    """The hypothesis settings of a fuzz suite, registered under `name`."""
    from hypothesis import HealthCheck, Phase, settings

    examples = int(os.environ.get("TARNWOOD_FUZZ_EXAMPLES",
                                  long_examples if FUZZ_LONG else short_examples))
    settings.register_profile(
        name,
        max_examples=examples,
        deadline=None,
        derandomize=not FUZZ_LONG,
        suppress_health_check=list(HealthCheck),
        database=None,
        phases=[Phase.explicit, Phase.generate, Phase.shrink],
    )
    return settings.get_profile(name)


@contextlib.contextmanager
def fuzz_guards(hang_seconds):
    """For the fuzz suites: dump all stacks and exit if a test hangs; cap the
    address space so a runaway allocation fails (and is reported) instead of
    swapping."""
    faulthandler.dump_traceback_later(hang_seconds, exit=True)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    page = os.sysconf("SC_PAGE_SIZE")
    with open("/proc/self/statm") as f:
        vm = int(f.read().split()[0]) * page
    cap = vm + (6 << 30)
    if hard != resource.RLIM_INFINITY:
        cap = min(cap, hard)
    resource.setrlimit(resource.RLIMIT_AS, (cap, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        faulthandler.cancel_dump_traceback_later()
