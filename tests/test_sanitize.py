"""Runs the engine stress driver under AddressSanitizer and
UndefinedBehaviorSanitizer (tools/sanitize.sh). Skipped when the compiler
cannot build sanitized programs."""
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
SCRIPT = ROOT / "tools" / "sanitize.sh"


@pytest.mark.skipif(shutil.which(os.environ.get("CXX", "g++")) is None, reason="no C++ compiler")
@pytest.mark.skipif(not SCRIPT.exists(), reason="sanitizer script not shipped")
def test_engine_is_clean_under_address_and_undefined_sanitizers(tmp_path):
    env = dict(os.environ)
    env.setdefault("TW_SANITIZE_DIR", str(ROOT / "build-sanitize"))
    if not os.access(env["TW_SANITIZE_DIR"], os.W_OK) and os.path.exists(env["TW_SANITIZE_DIR"]):
        env["TW_SANITIZE_DIR"] = str(tmp_path)
    proc = subprocess.run(["bash", str(SCRIPT), "asan", "1"], cwd=ROOT, env=env,
                          capture_output=True, text=True, timeout=900)
    if proc.returncode == 77:
        pytest.skip(proc.stderr.strip() or "no sanitizer support")
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-8000:]
    assert "driver: ok" in proc.stdout
