"""The demo as make demo runs it: one colour scale for every frame's QP map, the file's range
as the ffmpeg tool's decoder reports its QP; a bits heatmap holding the bits x264 counted;
motion drawn as few arrows as a 720p panel can
show, each the way the picture content moved; one line for a bad frame or file."""

import importlib.util
import subprocess

import numpy as np
import pytest

from conftest import ROOT
from media import PAN_PIXELS_PER_FRAME
from oracle import first_pass_statistics, reference_qp_maps
import vexmira

demo_source = importlib.util.spec_from_file_location("demo", ROOT / "examples" / "demo.py")
demo = importlib.util.module_from_spec(demo_source)
demo_source.loader.exec_module(demo)


@pytest.fixture(scope="module")
def clip_720p(tmp_path_factory):
    path = tmp_path_factory.mktemp("hd") / "720p.mp4"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                    "testsrc2=size=1280x720:rate=25,trim=end_frame=3", "-c:v", "libx264", "-preset", "veryfast",
                    "-bf", "0", "-pix_fmt", "yuv420p", str(path)], check=True)
    return path


def colour_limits(session, index, scale):
    import matplotlib.pyplot as plt
    figure, _ = demo.heatmap_figure(session, index, scale)
    limits = figure.axes[1].images[0].get_clim()
    plt.close(figure)
    return limits


def test_every_heatmap_of_a_file_has_the_files_qp_range_as_its_scale(media):
    path = media("mp4_qp_busy")
    session = vexmira.H264DecoderSession(str(path), motion_vectors=True, mb_types=True)
    reported = np.array(reference_qp_maps(path, session.mb_rows, session.mb_cols))
    reported = reported[reported >= 0]
    scale = demo.qp_scale(session)
    assert scale == (reported.min(), reported.max())
    own_ranges = {(int(session.get_qpmap(i).min()), int(session.get_qpmap(i).max())) for i in (0, 1)}
    assert len(own_ranges) == 2, "two frames of different QP ranges"
    assert colour_limits(session, 0, scale) == colour_limits(session, 1, scale) == scale


def test_the_bits_heatmap_holds_the_bits_the_encoder_spent(media):
    """x264's first pass counts each frame's bits, slice headers included (under 128 bits a
    slice here), which the macroblocks' bits leave out."""
    import matplotlib.pyplot as plt
    path = media("mp4_cabac_first_pass")
    session = vexmira.H264DecoderSession(str(path), motion_vectors=True, mb_types=True)
    for index in (0, 7):
        figure, _ = demo.heatmap_figure(session, index, None)
        bits = figure.axes[3].images[0].get_array()
        plt.close(figure)
        expected = first_pass_statistics(path)[index]
        assert bits.shape == (session.mb_rows, session.mb_cols) and bits.count() == bits.size
        assert 0 < expected["tex"] + expected["mv"] + expected["misc"] - int(bits.sum()) < 128, index


def test_the_residual_panel_and_the_prediction_make_the_decoders_picture(media):
    """What the panel draws, added to the frame's prediction, is the decoder's picture before
    its loop filter wherever it is not clipped."""
    import matplotlib.pyplot as plt
    path = media("mp4_cabac_first_pass")
    session = vexmira.H264DecoderSession(str(path), motion_vectors=True, mb_types=True)
    exact = vexmira.H264DecoderSession(str(path), deblocking="exact")
    for index in (0, [session.get_frame_type(i) for i in range(session.num_frames)].index("P")):
        figure, _ = demo.heatmap_figure(session, index, None)
        residual = figure.axes[4].images[0].get_array().astype(np.int32)
        plt.close(figure)
        prediction = session.get_prediction(index)[0][:session.height, :session.width].astype(np.int32)
        picture = exact.get_plane_data(index, 0)[:, :session.width].astype(np.int32)
        inside = (prediction + residual >= 0) & (prediction + residual <= 255)
        assert inside.mean() > 0.9 and (prediction + residual == picture)[inside].all(), index


def test_motion_arrows_are_thinned_and_point_the_way_the_content_moved(media, clip_720p):
    pan = vexmira.H264DecoderSession(str(media("mp4_pan")), motion_vectors=True)
    vectors = pan.get_motion_vectors(5)
    _, _, _, u, v = demo.thinned_motion(vectors[vectors["source"] < 0], pan.width, pan.height)
    # The window moves right over a still picture, so its content moves left.
    assert np.median(u) == -PAN_PIXELS_PER_FRAME and np.median(v) == 0

    wide = vexmira.H264DecoderSession(str(clip_720p), motion_vectors=True)
    vectors = wide.get_motion_vectors(1)
    cell, x, y, _, _ = demo.thinned_motion(vectors[vectors["source"] < 0], wide.width, wide.height)
    assert len(set(x)) <= demo.ARROW_COLUMNS < wide.mb_cols
    assert len(x) == len(set(zip(x, y))) < len(vectors), "one arrow per cell, fewer than the blocks"
    assert (x < wide.width).all() and (y < wide.height).all() and cell * demo.ARROW_COLUMNS >= wide.width


@pytest.mark.parametrize(("arguments", "message"), [
    (["missing.mp4"], "demo.py: missing.mp4: no such file"),
    (["{clip}", "--frame", "3"], "demo.py: --frame 3: {clip} has frames 0 to 2"),
    (["{clip}", "--frame", "-1"], "demo.py: --frame -1: {clip} has frames 0 to 2"),
])
def test_a_bad_file_or_frame_is_one_line(clip_720p, tmp_path, monkeypatch, capsys, arguments, message):
    monkeypatch.chdir(tmp_path)
    assert demo.main([argument.format(clip=clip_720p) for argument in arguments]) == 2
    captured = capsys.readouterr()
    assert captured.err == message.format(clip=clip_720p) + "\n" and captured.out == ""
    assert not (tmp_path / "qp_heatmap.png").exists()


def test_the_demo_draws_the_sample(media, tmp_path, capsys):
    heatmap = tmp_path / "heatmap.png"
    assert demo.main([str(media("mp4_long")), "--frame", "30", "--heatmap", str(heatmap)]) == 0
    assert heatmap.read_bytes().startswith(b"\x89PNG")
    assert capsys.readouterr().out.splitlines()[-1].startswith(f"wrote {heatmap} (frame 30, motion vectors of frame")
