"""Patterns of requests that the frame cache is for, timed on whichever vexmira the
interpreter imports, so that bench.py can run them on a baseline build of an earlier
version as well. Prints the requests served per second (frames per second for a sequential
pass), of the clock and of the processor.
Usage: python benchmarks/patterns.py {reverse,scrub,sequential-qp,sequential-planes,sequential-luma,
       sequential-qp-then-luma,random-qp,random-planes} <video>"""

import random
import sys
import time

import vexmira

# Centres of scrubs far apart from each other, as a user jumps to a place and looks around
# it; fractions of the file's length.
SCRUB_CENTRES = (0.15, 0.5, 0.9)
SCRUB_REACH = 10
RANDOM_REQUESTS = 100
RANDOM_SEED = 4321


def reverse(session):
    return [(i, 0) for i in range(session.num_frames - 1, -1, -1)]


def scrub(session):
    """Back and forth within the reach around each centre, one frame a step."""
    requests = []
    for fraction in SCRUB_CENTRES:
        centre = int(fraction * (session.num_frames - 1))
        low, high = max(centre - SCRUB_REACH, 0), min(centre + SCRUB_REACH, session.num_frames - 1)
        sweep = [centre] + list(range(centre - 1, low - 1, -1))
        for _ in range(2):
            sweep += list(range(low + 1, high + 1)) + list(range(high - 1, low - 1, -1))
        requests += [(i, 0) for i in sweep]
    return requests


def every_frame(session, planes):
    return [(i, plane) for i in range(session.num_frames) for plane in planes]


def random_frames(session, plane):
    generator = random.Random(RANDOM_SEED)
    return [(generator.randrange(session.num_frames), plane) for _ in range(RANDOM_REQUESTS)]


# Requests as (frame, plane), plane None for the QP map.
PATTERNS = {
    "reverse": reverse,
    "scrub": scrub,
    "sequential-qp": lambda session: every_frame(session, [None]),
    "sequential-planes": lambda session: every_frame(session, [0, 1, 2]),
    "sequential-luma": lambda session: every_frame(session, [0]),
    # Each frame's QP map, then its luma plane: requests that want no pixels among those that do.
    "sequential-qp-then-luma": lambda session: every_frame(session, [None, 0]),
    "random-qp": lambda session: random_frames(session, None),
    "random-planes": lambda session: random_frames(session, 0),
}


def main(pattern, path):
    session = vexmira.H264DecoderSession(path)
    requests = PATTERNS[pattern](session)
    start, start_processor = time.perf_counter(), time.process_time()
    for frame, plane in requests:
        if plane is None:
            session.get_qpmap(frame)
        else:
            session.get_plane_data(frame, plane)
    elapsed, processor = time.perf_counter() - start, time.process_time() - start_processor
    served = len({frame for frame, _ in requests}) if pattern.startswith("sequential") else len(requests)
    print(served / elapsed, served / processor)


if __name__ == "__main__":
    main(*sys.argv[1:])
