"""The loop most analysis code is, `for i in range(session.num_frames)`, in a fresh interpreter:
QP maps alone or the three planes of every frame, with the read-ahead the session chooses
itself (auto) or a given number of decoders ahead (0: none). Prints the frames per second of
the clock and of the process's processor time, and the peak growth of the resident set in
bytes.
Usage: python simple_loop.py qp|planes VIDEO auto|N"""

import sys
import time

import vexmira


def peak_resident_bytes():
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith("VmHWM:"))


def main(what, path, read_ahead):
    session = vexmira.H264DecoderSession(path, read_ahead=None if read_ahead == "auto" else int(read_ahead))
    session.get_qpmap(0)
    baseline = peak_resident_bytes()
    start, start_processor = time.perf_counter(), time.process_time()
    for i in range(session.num_frames):
        if what == "qp":
            session.get_qpmap(i)
        else:
            for plane in range(3):
                session.get_plane_data(i, plane)
    elapsed, processor = time.perf_counter() - start, time.process_time() - start_processor
    print(session.num_frames / elapsed, session.num_frames / processor, peak_resident_bytes() - baseline)


if __name__ == "__main__":
    main(*sys.argv[1:])
