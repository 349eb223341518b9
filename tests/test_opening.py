"""Opening a file: the stream facts, the frame count and every way opening can fail."""

import os
import re
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import pytest

import vexmira
from media import VIDEO_CLIPS
from oracle import expected_rate, ffprobe, open_files


def open_session(path: Path) -> vexmira.H264DecoderSession:
    return vexmira.H264DecoderSession(str(path))


@pytest.mark.parametrize("clip", VIDEO_CLIPS)
def test_properties_match_ffprobe(media, clip):
    path = media(clip)
    stream = ffprobe(path, "-show_streams")["streams"][0]
    session = open_session(path)

    assert (session.width, session.height) == (stream["width"], stream["height"])
    assert (session.mb_cols, session.mb_rows) == ((stream["width"] + 15) // 16, (stream["height"] + 15) // 16)
    assert session.pix_fmt == stream["pix_fmt"]
    assert session.bytes_per_sample == (2 if "10" in stream["pix_fmt"] else 1)
    rate = expected_rate(stream)
    assert Fraction(session.fps_num, session.fps_den) == rate
    assert isinstance(session.fps, float) and session.fps == session.fps_num / session.fps_den


@pytest.mark.parametrize("clip", VIDEO_CLIPS)
def test_num_frames_counts_distinct_presentation_timestamps(media, clip):
    path = media(clip)
    packets = ffprobe(path, "-show_entries", "packet=pts")["packets"]
    distinct = {packet["pts"] for packet in packets if "pts" in packet}
    if any("pts" not in packet for packet in packets):
        # Where timestamps are missing, the frames are the pictures the decoder outputs.
        distinct = ffprobe(path, "-show_entries", "frame=pkt_pos")["frames"]

    assert open_session(path).num_frames == len(distinct)


def test_a_file_without_timestamps_is_read_once_at_opening(media):
    # FFmpeg's generic seek to a timestamp reads a file without any through to its end.
    path = media("h264_raw_320x240")
    counters = Path("/proc/self/io")
    before = int(re.search(r"rchar: (\d+)", counters.read_text()).group(1))
    open_session(path)
    read = int(re.search(r"rchar: (\d+)", counters.read_text()).group(1)) - before
    assert path.stat().st_size <= read < 1.2 * path.stat().st_size


def test_ntsc_rate_is_kept_as_a_fraction(media):
    session = open_session(media("mp4_ntsc"))
    assert (session.fps_num, session.fps_den) == (30000, 1001)
    assert session.fps == pytest.approx(29.97002997002997, abs=0)


def test_first_of_two_video_streams_is_used(media):
    session = open_session(media("mkv_two_videos"))
    assert (session.width, session.height, session.num_frames) == (64, 48, 36)


def test_audio_beside_video_is_ignored(media):
    session = open_session(media("mp4_with_audio"))
    assert (session.width, session.height, session.num_frames) == (64, 48, 36)


def test_properties_are_plain_python_values(media):
    session = open_session(media("mp4"))
    for name in ("width", "height", "mb_cols", "mb_rows", "num_frames", "fps_num", "fps_den", "bytes_per_sample"):
        assert type(getattr(session, name)) is int, name
    assert type(session.fps) is float
    assert session.fps == 25.0
    assert type(session.pix_fmt) is str


class PathOf:
    """An os.PathLike that is not a pathlib.Path."""
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


class TestPathArgument:
    def test_str_bytes_and_keyword_open_the_same_file(self, media):
        path = media("mp4")
        sessions = [vexmira.H264DecoderSession(str(path)),
                    vexmira.H264DecoderSession(path=str(path)),
                    vexmira.H264DecoderSession(os.fsencode(path))]
        facts = {(s.width, s.height, s.num_frames, s.pix_fmt) for s in sessions}
        assert facts == {(64, 48, 36, "yuv420p")}

    def test_pathlib_path_and_other_path_likes_open_it_too(self, media):
        """Refused before (pybind11's "incompatible constructor arguments")."""
        path = media("mp4")
        sessions = [vexmira.H264DecoderSession(path), vexmira.H264DecoderSession(PathOf(os.fsencode(path))),
                    vexmira.H264DecoderSession(PathOf(str(path)))]
        assert {(s.width, s.height, s.num_frames) for s in sessions} == {(64, 48, 36)}

    def test_a_name_that_is_not_utf8_opens_by_every_form_of_it(self, media, tmp_path):
        """The bytes name, the str os.listdir gives for it (lone surrogates), and a Path of
        that str; a message that names such a file names it as os.fsdecode does."""
        name = os.fsencode(tmp_path) + b"/caf\xe9 \xff.mp4"
        with open(name, "wb") as file:
            file.write(media("mp4").read_bytes())
        listed = [entry for entry in os.listdir(tmp_path) if entry.startswith("caf")]
        assert len(listed) == 1 and os.fsencode(listed[0]) == b"caf\xe9 \xff.mp4"
        for path in (name, str(tmp_path / listed[0]), tmp_path / listed[0]):
            assert vexmira.H264DecoderSession(path).num_frames == 36
        os.remove(name)
        with pytest.raises(RuntimeError) as error:
            vexmira.H264DecoderSession(name)
        assert str(error.value) == f"Cannot open input video: {os.fsdecode(name)} (No such file or directory)"

    def test_a_null_byte_is_refused_rather_than_cut_off(self, media, tmp_path):
        # FFmpeg would open the file named by the bytes before the null: this one exists.
        (tmp_path / "a").write_bytes(media("mp4").read_bytes())
        for path in (str(tmp_path / "a") + "\0b", os.fsencode(tmp_path / "a") + b"\0b"):
            with pytest.raises(ValueError, match="null byte"):
                vexmira.H264DecoderSession(path)

    def test_non_ascii_path_with_spaces(self, media, tmp_path):
        path = tmp_path / "clip ünïcødé 動画.mp4"
        path.write_bytes(media("mp4").read_bytes())
        assert vexmira.H264DecoderSession(str(path)).num_frames == 36

    @pytest.mark.parametrize("argument", [None, 42, ["clip.mp4"], PathOf(42)])
    def test_objects_that_are_not_paths_are_refused(self, argument):
        with pytest.raises(TypeError):
            vexmira.H264DecoderSession(argument)

    def test_missing_argument_is_refused(self):
        with pytest.raises(TypeError):
            vexmira.H264DecoderSession()


def with_unknown_codec(mkv: Path, folder: Path) -> Path:
    """A copy of the Matroska file whose video track names a codec no FFmpeg knows; the name
    keeps its length, so the file's structure stays valid."""
    path = folder / "unknown_codec.mkv"
    path.write_bytes(mkv.read_bytes().replace(b"V_MPEG4/ISO/AVC", b"V_VEXMIRA_TEST_"))
    return path


class TestOpeningFailures:
    def test_missing_file(self, tmp_path):
        path = str(tmp_path / "missing.mp4")
        with pytest.raises(RuntimeError) as error:
            vexmira.H264DecoderSession(path)
        assert str(error.value) == f"Cannot open input video: {path} (No such file or directory)"

    def test_text_file(self, tmp_path):
        path = tmp_path / "notes.mp4"
        path.write_text("this is not a video\n" * 50)
        with pytest.raises(RuntimeError) as error:
            vexmira.H264DecoderSession(str(path))
        assert str(error.value) == f"Cannot open input video: {path} (Invalid data found when processing input)"

    def test_audio_only(self, media):
        path = media("m4a_audio_only")
        with pytest.raises(RuntimeError) as error:
            open_session(path)
        assert str(error.value) == f"No video stream found in: {path}"

    def test_video_codec_without_decoder(self, media, tmp_path):
        path = with_unknown_codec(media("mkv"), tmp_path)
        with pytest.raises(RuntimeError) as error:
            open_session(path)
        # FFmpeg names the codec it does not know "none", as avcodec_get_name does.
        assert str(error.value) == f"No decoder for codec none in: {path}"

    def test_video_stream_without_packets(self, media, tmp_path):
        # The sample table survives, the sample data does not.
        remuxed = tmp_path / "faststart.mp4"
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", str(media("mp4")),
                        "-c", "copy", "-movflags", "+faststart", str(remuxed)], check=True)
        data = remuxed.read_bytes()
        path = tmp_path / "no_samples.mp4"
        path.write_bytes(data[: data.index(b"mdat") + 4])
        with pytest.raises(RuntimeError) as error:
            open_session(path)
        assert str(error.value) == f"No video packets found in: {path}"

    def test_failed_opening_leaves_no_file_open(self, media, tmp_path):
        path = with_unknown_codec(media("mkv"), tmp_path)
        with pytest.raises(RuntimeError):
            open_session(path)
        assert path not in open_files()


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/fd")
def test_dropping_the_session_closes_the_file(media):
    path = media("mkv")
    session = open_session(path)
    assert path in open_files()
    del session
    assert path not in open_files()
    assert open_session(path).num_frames == 36
