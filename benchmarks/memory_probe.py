"""Memory figures of one usage pattern, measured in a fresh interpreter and printed as JSON.
Usage: python memory_probe.py read-all|read-all-qp|churn|batch <video>"""

import gc
import json
import sys

import vexmira


def status(field):
    """A figure of /proc/self/status in bytes (VmRSS: now; VmHWM: the peak so far)."""
    with open("/proc/self/status") as lines:
        for line in lines:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def read_all(path, qp_maps_only=False):
    """Peak growth reading every frame's pictures (or QP maps only), against the cache's
    promise: the pictures of the last 64 frames whose pixels were asked for."""
    session = vexmira.H264DecoderSession(path)
    session.get_qpmap(0)
    frame_bytes = sum(session.get_plane_data(0, plane).nbytes for plane in range(3))
    baseline = status("VmRSS")
    for i in range(session.num_frames):
        if qp_maps_only:
            session.get_qpmap(i)
        else:
            session.get_plane_data(i, 0)
    return {"growth": status("VmHWM") - baseline, "cache_bytes": 64 * frame_bytes, "frame_bytes": frame_bytes}


def churn(path):
    def one_session():
        session = vexmira.H264DecoderSession(path)
        for i in range(8):
            session.get_plane_data(i, 0)

    for _ in range(20):
        one_session()
    gc.collect()
    settled = status("VmRSS")
    for _ in range(180):
        one_session()
    gc.collect()
    return {"growth": status("VmRSS") - settled}


def batch(path):
    """Every frame's QP map in one call on two decoders; the session itself decodes nothing."""
    session = vexmira.H264DecoderSession(path)
    picture_bytes = session.width * session.height * 3 // 2 * session.bytes_per_sample
    baseline = status("VmRSS")
    session.get_qpmaps(threads=2)
    return {"growth": status("VmHWM") - baseline, "picture_bytes": picture_bytes}


if __name__ == "__main__":
    mode, video = sys.argv[1], sys.argv[2]
    modes = {"read-all": read_all, "read-all-qp": lambda path: read_all(path, qp_maps_only=True), "churn": churn,
             "batch": batch}
    print(json.dumps(modes[mode](video)))
