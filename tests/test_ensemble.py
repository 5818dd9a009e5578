"""The bootstrap planner and the parallel grow loop shared by the random
forests, the boosting rounds and the unsupervised forest, checked from C++
(tests/cpp/ensemble_check.cpp, plain and under AddressSanitizer)."""
from conftest import ctest


def test_plans_replay_the_draws_and_trees_come_back_in_plan_order(cpp_checks):
    # One worker: streaming keeps exactly the first trees; several (3): the
    # kept trees are the folded ones, in plan order.
    assert "tests passed" in ctest(cpp_checks, "-R", "^ensemble_check")
