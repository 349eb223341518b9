"""The residual and the motion field rebuilt from the syntax against decoding: a whole file's
residuals and motion fields (every frame) on one thread against the decoder's
bare loop on one thread, and get_residual at random frames against get_qpmap there."""

import time

import media
import syntax_bench
import vexmira

# Frames a batch call takes at once: a 720p batch of them is 40 MB of residual planes.
CHUNK = 25


def rebuild_rate(path):
    """Frames per second of one whole file's residuals and motion fields on one thread."""
    session = vexmira.H264DecoderSession(str(path))
    frames = list(range(session.num_frames))
    inter = {frame for frame, kind in zip(frames, session.syntax_stats(threads=1)["pict_type"]) if kind != "I"}
    start = time.perf_counter()
    # Batch by batch, as the API's documentation asks: the motion fields take the syntax
    # the residuals' read kept.
    for first in range(0, len(frames), CHUNK):
        batch = frames[first:first + CHUNK]
        session.get_residuals(batch, threads=1)
        session.get_motion_fields([frame for frame in batch if frame in inter], threads=1)
    return len(frames) / (time.perf_counter() - start)


def rows(bench, tool, repeat):
    clip = media.clip("720p_12s")
    loop, rebuilt = [], []
    for _ in range(repeat):
        loop.append(bench.native_rate(tool, clip, 1)[0])
        rebuilt.append(rebuild_rate(clip))
    session = vexmira.H264DecoderSession(str(clip))
    targets = syntax_bench.random_targets(session)
    residuals, qp_maps = [], []
    for _ in range(repeat):
        residuals.append(syntax_bench.random_rate(clip, targets, "get_residual"))
        qp_maps.append(syntax_bench.random_rate(clip, targets, "get_qpmap"))
    return [bench.paired_row("rebuild", "720p: residuals and motion fields of every frame, threads=1, "
                             "vs bare decode loop (at most 2x its time)", rebuilt, loop, ">= 0.5", minimum=0.5),
            bench.paired_row("rebuild", f"720p: get_residual vs get_qpmap, {len(targets)} random frames (frames/s)",
                             residuals, qp_maps, "(no target)", unit="1/s")]
