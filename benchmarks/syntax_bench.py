"""The syntax read without decoding against decoding: a whole file's syntax_stats on one
thread against the decoder's bare loop on one thread, on two threads against one, and
get_mb_syntax at random frames against get_qpmap at the same frames, pair by pair."""

import random
import time

import media
import vexmira

RANDOM_FRAMES = 60
SEED = 1234


def syntax_stats_rate(path, threads):
    """Frames per second of one whole file's syntax_stats on a fresh session."""
    session = vexmira.H264DecoderSession(str(path))
    start = time.perf_counter()
    session.syntax_stats(threads=threads)
    return session.num_frames / (time.perf_counter() - start)


def whole_file_rows(bench, tool, clips, repeat):
    rows = []
    for name, path in clips.items():
        loop, one = [], []
        for _ in range(repeat):
            loop.append(bench.native_rate(tool, path, 1)[0])
            one.append(syntax_stats_rate(path, 1))
        rows.append(bench.paired_row("syntax", f"{name}: syntax_stats threads=1 vs bare decode loop", one, loop,
                                     ">= 3", minimum=3.0))
    return rows


def thread_rows(bench, path, name, repeat):
    one, two = [], []
    for _ in range(repeat):
        one.append(syntax_stats_rate(path, 1))
        two.append(syntax_stats_rate(path, 2))
    return [bench.paired_row("syntax", f"{name}: syntax_stats threads=2 vs threads=1", two, one, ">= 1.8",
                             minimum=1.8)]


def random_rate(path, targets, read):
    """Targets per second of one method at each target in turn, on a fresh session."""
    session = vexmira.H264DecoderSession(str(path))
    method = getattr(session, read)
    start = time.perf_counter()
    for target in targets:
        method(target)
    return len(targets) / (time.perf_counter() - start)


def random_targets(session):
    generator = random.Random(SEED)
    return [generator.randrange(session.num_frames) for _ in range(RANDOM_FRAMES)]


def random_rows(bench, path, name, repeat):
    session = vexmira.H264DecoderSession(str(path))
    targets = random_targets(session)
    syntax, qp_maps = [], []
    for _ in range(repeat):
        syntax.append(random_rate(path, targets, "get_mb_syntax"))
        qp_maps.append(random_rate(path, targets, "get_qpmap"))
    gop = session.num_frames // max(1, session.key_frame_intervals().size)
    return [bench.paired_row("syntax", f"{name} (GOP {gop}): get_mb_syntax vs get_qpmap, {RANDOM_FRAMES} random "
                             "frames (frames/s)", syntax, qp_maps, ">= 20", minimum=20.0, unit="1/s")]


def rows(bench, tool, repeat):
    clips = {"720p CRF 23 CABAC": media.clip("720p_12s"), "1080p CRF 23 CABAC": media.clip("1080p_10s"),
             "720p CRF 23 CAVLC": media.clip("720p_12s_cavlc")}
    return (whole_file_rows(bench, tool, clips, repeat)
            + thread_rows(bench, clips["1080p CRF 23 CABAC"], "1080p", repeat)
            + random_rows(bench, clips["720p CRF 23 CABAC"], "720p", repeat))
