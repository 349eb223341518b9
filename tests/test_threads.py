"""Threads: eight sharing one session, which serialises them, and eight with a session each.
Every frame any of them gets is the ffmpeg tool's picture and QP map for that frame."""

import random
import threading

import numpy as np
import pytest

import vexmira
from conftest import packed_picture, plane_sizes, pps_chroma_offsets, reference_qp_maps

THREADS = 8
REQUESTS_PER_THREAD = 40
# Long enough that the threads' requests overflow the frame cache and make it seek.
CLIPS = ["mp4_long", "ts_open_gop"]


@pytest.fixture(scope="module")
def reference(media, reference_pictures):
    made = {}

    def of(clip):
        if clip not in made:
            path = media(clip)
            session = vexmira.H264DecoderSession(str(path))
            made[clip] = (reference_pictures(clip),
                          reference_qp_maps(path, session.mb_rows, session.mb_cols), pps_chroma_offsets(path))
        return made[clip]
    return of


def requests(seed: int, num_frames: int) -> list[int]:
    """Random frames and a run of consecutive ones, different for every thread."""
    rng = random.Random(seed)
    start = rng.randrange(num_frames - 10)
    frames = rng.sample(range(num_frames), REQUESTS_PER_THREAD - 10) + list(range(start, start + 10))
    rng.shuffle(frames)
    return frames


def copied_luma(session, index: int) -> bytes:
    columns, rows = plane_sizes(session.width, session.height, session.pix_fmt)[0]
    buffer = np.zeros((rows, columns), np.uint8)
    session.copy_plane_to_ptr(index, 0, buffer.ctypes.data, columns)
    return buffer.tobytes()


def frame_problems(session, index: int, pictures, qp_maps, offsets) -> list[str]:
    problems = []
    if packed_picture(session, index) != pictures[index]:
        problems.append(f"frame {index}: picture")
    if copied_luma(session, index) != pictures[index][:session.width * session.height]:
        problems.append(f"frame {index}: copied luma")
    if session.get_qpmap(index).tolist() != qp_maps[index]:
        problems.append(f"frame {index}: QP map")
    if session.get_chroma_qp_offset(index) != offsets:
        problems.append(f"frame {index}: chroma offsets")
    return problems


def run_threads(work) -> list[str]:
    """Starts the threads together and gathers their problems, exceptions included."""
    problems: list[str] = []
    barrier = threading.Barrier(THREADS)

    def thread_main(number):
        barrier.wait()
        try:
            problems.extend(work(number))
        except Exception as error:  # noqa: BLE001 - reported as a problem of that thread
            problems.append(f"thread {number}: {type(error).__name__}: {error}")

    threads = [threading.Thread(target=thread_main, args=(number,)) for number in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return problems


@pytest.mark.parametrize("clip", CLIPS)
def test_threads_sharing_one_session(media, reference, clip):
    pictures, qp_maps, offsets = reference(clip)
    shared = vexmira.H264DecoderSession(str(media(clip)))

    def work(number):
        return [problem for index in requests(number, shared.num_frames)
                for problem in frame_problems(shared, index, pictures, qp_maps, offsets)]

    assert run_threads(work) == []


@pytest.mark.parametrize("clip", CLIPS)
def test_threads_with_a_session_each(media, reference, clip):
    pictures, qp_maps, offsets = reference(clip)
    path = str(media(clip))

    def work(number):
        session = vexmira.H264DecoderSession(path)
        return [problem for index in requests(100 + number, session.num_frames)
                for problem in frame_problems(session, index, pictures, qp_maps, offsets)]

    assert run_threads(work) == []
