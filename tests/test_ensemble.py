"""The bootstrap planner and the parallel grow loop shared by the random
forests, the boosting rounds and the unsupervised forest, checked from C++."""
import subprocess

import pytest

from conftest import compile_cpp


@pytest.fixture(scope="module")
def ensemble_check(tmp_path_factory):
    return compile_cpp(tmp_path_factory, "ensemble_check",
                       ["tests/cpp/ensemble_check.cpp", "src/ensemble/bootstrap.cpp",
                        "src/core/rng.cpp", "src/parallel/pool.cpp"],
                       flags=["-fopenmp", "-fsanitize=address,undefined",
                              "-fno-sanitize-recover=all"])


@pytest.mark.parametrize("threads", [1, 3])
def test_plans_replay_the_draws_and_trees_come_back_in_plan_order(ensemble_check, threads):
    # One worker: streaming keeps exactly the first trees; several: the kept
    # trees are the folded ones, in plan order.
    res = subprocess.run([str(ensemble_check), str(threads)], capture_output=True, text=True,
                         timeout=300)
    assert res.returncode == 0 and res.stdout.strip() == "ok", res.stdout + res.stderr
