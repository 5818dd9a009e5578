"""The tour in examples/ (the README's first command runs it) runs to the end,
covers every estimator of the package and gives the same scores every run."""
import os
import re
import subprocess
import sys

import tarnwood
from conftest import REPO

TOUR = REPO / "examples" / "tour.py"


def run_tour():
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run(
        [sys.executable, str(TOUR)], capture_output=True, text=True, env=env, timeout=180
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    return proc.stdout.splitlines()


def table_rows(lines):
    """{estimator: (its score, the scikit-learn equivalent's score)}."""
    rows = {}
    for line in lines:
        cells = re.split(r"\s{2,}", line.strip())
        if cells[0] in tarnwood.__all__:
            assert len(cells) == 8, line
            rows[cells[0]] = (float(cells[3]), float(cells[6]))
    return rows


def without_fit_times(lines):
    # Fit times (and so the table's column widths) change from run to run;
    # everything else in the output must not.
    masked = []
    for line in lines:
        cells = re.split(r"\s{2,}", line.strip())
        if cells[0] in tarnwood.__all__:
            cells[4] = cells[7] = "-"  # the two fit-time columns
        masked.append(" | ".join(" ".join(c.split()) for c in cells))
    return masked


def test_tour_shows_every_estimator_reproducibly():
    first = run_tour()
    rows = table_rows(first)
    assert sorted(rows) == sorted(tarnwood.__all__)
    for name, (ours, theirs) in rows.items():
        if name.endswith("Classifier"):
            assert ours > 0.85 and theirs > 0.85, (name, ours, theirs)
        if name == "UnsupervisedForest":
            assert ours > 0.8, ours
    coverage = next(line for line in first if line.startswith("BoostedRegressor.predict_interval"))
    assert float(re.search(r"cover ([\d.]+)%", coverage).group(1)) > 80
    assert first[-1].startswith("invalid input is refused:") and "infinity" in first[-1]
    assert without_fit_times(run_tour()) == without_fit_times(first)


def test_forest_explanation_example_saves_its_picture(tmp_path):
    import pytest

    pytest.importorskip("matplotlib")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    picture = tmp_path / "summary.png"
    proc = subprocess.run(
        [sys.executable, str(REPO / "examples" / "explain_forest.py"), str(picture)],
        capture_output=True, text=True, env=env, timeout=300, cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    gap = float(re.search(r"sum - prediction\| = (\S+)", proc.stdout).group(1))
    assert gap < 1e-9
    assert picture.stat().st_size > 10_000
