"""Threads: eight sharing one session, which serialises them, eight with a session each, and
a simple loop sharing a session that reads ahead with threads that ask for random frames,
which keep breaking its pattern. Every frame any of them gets is the ffmpeg tool's picture
and QP map for that frame. The threads run in a child process, so that a crash fails its
test instead of ending the run."""

import pytest

from thread_probe import probe

THREADS = 8
REQUESTS_PER_THREAD = 40
# Long enough that the threads' requests overflow the frame cache and make it seek.
CLIPS = ["mp4_long", "ts_open_gop"]


@pytest.mark.parametrize("clip", CLIPS)
def test_threads_sharing_one_session(media, reference_answers, tmp_path, clip):
    assert probe(media(clip), reference_answers(clip), tmp_path, "shared", THREADS, REQUESTS_PER_THREAD, 0) == []


@pytest.mark.parametrize("clip", CLIPS)
def test_threads_with_a_session_each(media, reference_answers, tmp_path, clip):
    assert probe(media(clip), reference_answers(clip), tmp_path, "own", THREADS, REQUESTS_PER_THREAD, 100) == []


@pytest.mark.parametrize("clip", CLIPS)
def test_a_loop_reading_ahead_beside_threads_asking_at_random(media, reference_answers, tmp_path, clip):
    assert probe(media(clip), reference_answers(clip), tmp_path, "ahead", 3, REQUESTS_PER_THREAD, 200) == []
