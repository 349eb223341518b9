"""A session's life: close() and with, pickling to another process by its path and options, and
batch methods of a session whose file was deleted, changed or opened from another folder.
Answers are checked against the ffmpeg tool's QP debug output and ffprobe, open files in
/proc/self/fd."""

import json
import os
import pickle
import shutil
import subprocess
import sys
import threading

import numpy as np
import pytest

import vexmira
from oracle import open_files, presentation_timestamps, reference_qp_maps

CLOSED = "^The session is closed: "
# The destination of copy_plane_to_ptr, alive for as long as the calls that write into it.
BUFFER = np.zeros((48, 64), np.uint8)

# Every method with arguments it accepts on an open session of the "mp4" clip.
CALLS = {
    "get_qpmap": lambda s: s.get_qpmap(1),
    "get_plane_data": lambda s: s.get_plane_data(1, 0),
    "get_chroma_qp_offset": lambda s: s.get_chroma_qp_offset(1),
    "get_frame_type": lambda s: s.get_frame_type(1),
    "is_key_frame": lambda s: s.is_key_frame(1),
    "is_damaged": lambda s: s.is_damaged(1),
    "get_motion_vectors": lambda s: s.get_motion_vectors(1),
    "get_mv_field": lambda s: s.get_mv_field(1),
    "get_mbtype_map": lambda s: s.get_mbtype_map(1),
    "get_mbtype_maps": lambda s: s.get_mbtype_maps([1]),
    "copy_plane_to_ptr": lambda s: s.copy_plane_to_ptr(1, 0, BUFFER.ctypes.data, 64),
    "get_qpmaps": lambda s: s.get_qpmaps([1]),
    "get_planes": lambda s: s.get_planes([1], 0),
    "frame_stats": lambda s: s.frame_stats([1]),
    "key_frame_intervals": lambda s: s.key_frame_intervals(),
    "get_mb_syntax": lambda s: s.get_mb_syntax(1),
    "get_mb_syntaxes": lambda s: s.get_mb_syntaxes([1]),
    "syntax_stats": lambda s: s.syntax_stats([1]),
    "get_residuals": lambda s: s.get_residuals([1]),
    "get_motion_fields": lambda s: s.get_motion_fields([3]),
    "get_coefficients": lambda s: s.get_coefficients(1),
    "get_residual": lambda s: s.get_residual(1),
    "get_prediction": lambda s: s.get_prediction(0),
    "get_motion_field": lambda s: s.get_motion_field(3),
    "__getstate__": lambda s: pickle.dumps(s),
    "__enter__": lambda s: s.__enter__(),
}


def public_methods() -> set[str]:
    cls = vexmira.H264DecoderSession
    return {name for name, member in vars(cls).items()
            if callable(member) and not isinstance(member, property) and not name.startswith("_")}


@pytest.fixture
def qp_maps(media):
    session = vexmira.H264DecoderSession(media("mp4"))
    return reference_qp_maps(media("mp4"), session.mb_rows, session.mb_cols)


class TestClose:
    def test_every_method_of_a_closed_session_raises_and_the_facts_stay(self, media):
        assert public_methods() - {"close"} <= set(CALLS), "a method this test does not call"
        session = vexmira.H264DecoderSession(media("mp4"), motion_vectors=True, mb_types=True)
        for name, call in CALLS.items():
            call(session)
        session.close()
        assert session.closed
        for name, call in CALLS.items():
            with pytest.raises(RuntimeError, match=CLOSED + str(media("mp4"))):
                call(session)
        # Even a frame number that is no frame's: the session's state comes first.
        with pytest.raises(RuntimeError, match=CLOSED):
            session.get_qpmap(10_000)
        assert (session.width, session.height, session.num_frames, session.codec) == (64, 48, 36, "h264")
        session.close()
        assert session.closed

    def test_closing_lets_go_of_the_file_at_once(self, media):
        path = media("mkv")
        session = vexmira.H264DecoderSession(path)
        session.get_plane_data(5, 0)
        assert path in open_files()
        session.close()
        assert path not in open_files()

    def test_with_closes_on_leaving_also_on_an_error(self, media, qp_maps):
        path = media("mp4")
        with vexmira.H264DecoderSession(path) as session:
            assert session.get_qpmap(7).tolist() == qp_maps[7]
            assert path in open_files()
        assert session.closed and path not in open_files()
        with pytest.raises(KeyError):
            with vexmira.H264DecoderSession(path) as failing:
                raise KeyError("inside")
        assert failing.closed and path not in open_files()

    def test_close_waits_for_calls_under_way_in_other_threads(self, media, qp_maps):
        """Each call gives the frame's map or the closed session's error, nothing else."""
        session = vexmira.H264DecoderSession(media("mp4"))
        outcomes: list[str] = []
        started = threading.Barrier(5)

        def read(first: int) -> None:
            started.wait()
            for index in [(first + 7 * k) % 36 for k in range(200)]:
                try:
                    got = session.get_qpmap(index).tolist()
                except RuntimeError as error:
                    outcomes.append("closed" if str(error).startswith("The session is closed") else str(error))
                    return
                if got != qp_maps[index]:
                    outcomes.append(f"frame {index}: QP map")
            outcomes.append("finished")

        threads = [threading.Thread(target=read, args=(first,)) for first in range(4)]
        for thread in threads:
            thread.start()
        started.wait()
        session.close()
        for thread in threads:
            thread.join()
        assert set(outcomes) <= {"closed", "finished"} and len(outcomes) == 4


CHILD = """
import json, pickle, sys
session = pickle.loads(sys.stdin.buffer.read())
print(json.dumps({"frames": session.num_frames, "qp": session.get_qpmap(5).tolist(),
                  "pts": session.frame_stats(threads=1)["pts"].tolist(),
                  "options": list(session.__getstate__()[1:])}))
"""


def in_child(data: bytes, folder) -> dict:
    """What a fresh interpreter, in another folder, makes of a pickled session."""
    result = subprocess.run([sys.executable, "-c", CHILD], input=data, capture_output=True, cwd=folder, timeout=120)
    assert result.returncode == 0, result.stderr.decode()
    return json.loads(result.stdout)


class TestPickling:
    def test_a_session_opened_by_a_relative_path_reopens_in_another_process_and_folder(self, media, qp_maps,
                                                                                      tmp_path, monkeypatch):
        shutil.copy(media("mp4"), tmp_path / "clip.mp4")
        monkeypatch.chdir(tmp_path)
        session = vexmira.H264DecoderSession("clip.mp4", deblocking="on", motion_vectors=True, mb_types=True,
                                             read_ahead=1)
        elsewhere = tmp_path / "elsewhere"
        elsewhere.mkdir()
        monkeypatch.chdir(elsewhere)
        answer = in_child(pickle.dumps(session), elsewhere)
        assert answer == {"frames": 36, "qp": qp_maps[5], "pts": presentation_timestamps(media("mp4")),
                          "options": ["on", True, True, 1, 0]}

    def test_unpickling_a_session_whose_file_is_gone_raises_as_opening_does(self, media, tmp_path):
        path = tmp_path / "gone.mp4"
        shutil.copy(media("mp4"), path)
        data = pickle.dumps(vexmira.H264DecoderSession(path))
        path.unlink()
        with pytest.raises(RuntimeError, match=f"^Cannot open input video: {path} \\(No such file or directory\\)$"):
            pickle.loads(data)


class TestBatchesReopenTheFile:
    def test_after_a_change_of_folder(self, media, qp_maps, tmp_path, monkeypatch):
        shutil.copy(media("mp4"), tmp_path / "clip.mp4")
        monkeypatch.chdir(tmp_path)
        session = vexmira.H264DecoderSession("clip.mp4")
        monkeypatch.chdir(media("mp4").parent)
        assert session.get_qpmaps(threads=2).tolist() == qp_maps

    def test_a_deleted_file_raises_in_batches_and_still_reads_in_frame_methods(self, media, qp_maps, tmp_path):
        path = tmp_path / "deleted.mp4"
        shutil.copy(media("mp4"), path)
        session = vexmira.H264DecoderSession(path)
        path.unlink()
        with pytest.raises(RuntimeError, match=f"^Cannot open input video: {path} \\(No such file or directory\\)$"):
            session.get_qpmaps([3])
        with pytest.raises(RuntimeError, match="^Cannot open input video: "):
            session.frame_stats()
        assert [session.get_qpmap(i).tolist() for i in range(36)] == qp_maps

    @pytest.mark.parametrize("change", ["another file put in its place", "rewritten in place"])
    def test_a_file_changed_at_its_path_is_not_read_against_the_old_numbering(self, media, tmp_path, change):
        """Another inode; or the same inode and size, written again (a recording being
        rewritten), which only its modification time tells."""
        path = tmp_path / "changed.mp4"
        shutil.copy(media("mp4"), path)
        session = vexmira.H264DecoderSession(path)
        before = path.stat()
        if change == "rewritten in place":
            with open(path, "r+b") as file:
                file.write(file.read())
                file.truncate(before.st_size)
        else:
            replaced = tmp_path / "replacement.mp4"
            replaced.write_bytes(media("mp4_long").read_bytes())
            os.replace(replaced, path)
        # A modification time the file system can tell from the first, whatever its resolution.
        os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns + 2_000_000_000))
        assert path.stat().st_ino == before.st_ino or change != "rewritten in place"
        for batch in (lambda: session.get_qpmaps(), lambda: session.get_planes([0], 0), lambda: session.frame_stats()):
            with pytest.raises(RuntimeError, match=f"^The file has changed since the session opened it: {path}$"):
                batch()
