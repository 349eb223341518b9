"""Rules of the session that Python cannot see, checked by native programs."""

import os
import subprocess

# Sanitizer builds run several times slower; make sanitize stretches the limit.
TIMEOUT = 120 * float(os.environ.get("VEXMIRA_TIMEOUT_SCALE", "1"))


def run_native(program, *arguments):
    result = subprocess.run([str(program), *map(str, arguments)], capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr + result.stdout
    return result.stdout


def test_frame_index_rules(native_build):
    assert "all checks passed" in run_native(native_build / "frame_index_test")


def test_frame_cache_rules(native_build, media):
    assert "all checks passed" in run_native(native_build / "frame_cache_test", media("mp4_long"))


def test_prediction_parts(native_build):
    assert "all checks passed" in run_native(native_build / "prediction_parts_test")


def test_packet_locator_recovers_or_gives_up_as_documented(native_build):
    assert "all checks passed" in run_native(native_build / "packet_locator_test")


def test_batch_rethrows_the_first_worker_error(native_build, media):
    assert "all checks passed" in run_native(native_build / "batch_errors_test", media("mp4_long"))


def test_read_ahead_rules(native_build, media):
    assert "all checks passed" in run_native(native_build / "read_ahead_test", media("mp4_long"), media("mp4_qp_busy"))


def test_picture_pool_rules(native_build):
    assert "all checks passed" in run_native(native_build / "picture_pool_test")
