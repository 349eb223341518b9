"""Rules of the session that Python cannot see, checked by native programs."""

import os
import subprocess
from pathlib import Path

import pytest

from damage import slice_nal_units

# Builds the native test programs with CMake.
pytestmark = pytest.mark.slow

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


def test_mb_type_log_rules(native_build):
    assert "all checks passed" in run_native(native_build / "mb_type_log_test")


def test_a_probe_silences_its_own_thread_only(native_build, media):
    assert "all checks passed" in run_native(native_build / "quiet_log_test", media("mp4"))


def with_a_dropped_picture(media, folder: Path) -> Path:
    """mp4_qp_busy (two intervals of 60 frames) with the slice header of a B picture that
    nothing references, early in the second interval, zeroed: the decoder outputs nothing
    for that frame."""
    data = bytearray(media("mp4_qp_busy").read_bytes())
    slices = slice_nal_units(bytes(data))
    start = next(start for start, _ in slices[66:] if data[start] & 0x60 == 0)
    data[start + 1:start + 5] = bytes(4)
    path = folder / "dropped_picture.mp4"
    path.write_bytes(data)
    return path


def test_read_ahead_rules(native_build, media, tmp_path):
    assert "all checks passed" in run_native(native_build / "read_ahead_test", media("mp4_long"), media("mp4_qp_busy"),
                                             with_a_dropped_picture(media, tmp_path), media("mp4_1080p"))


def test_picture_pool_rules(native_build):
    assert "all checks passed" in run_native(native_build / "picture_pool_test")


def test_bit_reader_rules(native_build):
    assert "all checks passed" in run_native(native_build / "bit_reader_test")


def test_cavlc_tables(native_build):
    assert "all checks passed" in run_native(native_build / "cavlc_tables_test")


def test_cabac_engine_against_the_recommendations_encoder(native_build):
    assert "all checks passed" in run_native(native_build / "cabac_engine_test")


def test_cabac_context_tables(native_build):
    assert "all checks passed" in run_native(native_build / "cabac_contexts_test")


def test_scan_tables(native_build):
    assert "all checks passed" in run_native(native_build / "scan_tables_test")
