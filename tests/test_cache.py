"""What the frame cache keeps alive: the pictures of the last 64 frames whose pixels were
asked for, and no pictures at all for frames whose QP maps alone were."""

import json
import os
import subprocess
import sys

import pytest

# Peak growth of the resident set while reading every frame one way, in a fresh interpreter
# so that the figure is that session's own. It also says whether AddressSanitizer's runtime is
# in the process (make sanitize preloads it), as that changes what the figure can be.
READ_ALL = """
import ctypes, json, sys
import vexmira

def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field + ":"))

session = vexmira.H264DecoderSession(sys.argv[1])
frame_bytes = sum(session.get_plane_data(0, plane).nbytes for plane in range(3))
baseline = status("VmRSS")
for i in range(session.num_frames):
    session.get_qpmap(i) if sys.argv[2] == "qp" else session.get_plane_data(i, 0)
print(json.dumps({"frames": (status("VmHWM") - baseline) / frame_bytes, "count": session.num_frames,
                  "asan": hasattr(ctypes.CDLL(None), "__asan_init")}))
"""

# Under AddressSanitizer a freed block waits in a quarantine (256 MiB by default, and a
# thread-local one in front of it) before it can be reused, so every frame the cache drops
# would still count: switched off for the child, whose only job is to measure. What ASan
# cannot switch off is its shadow memory, one byte for every eight of the heap, which grows
# with the cached pictures themselves.
NO_QUARANTINE = "quarantine_size_mb=0:thread_local_quarantine_size_kb=0"
SHADOW = 9 / 8


def child_environment() -> dict[str, str]:
    environment = dict(os.environ)
    # Later options win over earlier ones, so the rest of make sanitize's options stay.
    inherited = environment.get("ASAN_OPTIONS")
    environment["ASAN_OPTIONS"] = f"{inherited}:{NO_QUARANTINE}" if inherited else NO_QUARANTINE
    return environment


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_qp_maps_alone_keep_no_pictures_alive(media):
    path = str(media("mp4_360p"))

    def growth(read):
        result = subprocess.run([sys.executable, "-c", READ_ALL, path, read], check=True, capture_output=True,
                                text=True, env=child_environment())
        return json.loads(result.stdout)

    pictures, qp_maps = growth("pictures"), growth("qp")
    assert pictures["count"] == qp_maps["count"] == 80
    # 64 pictures cached, each a whole frame's buffer; the decoder's own few come on top. Under
    # ASan each of them brings its shadow along, an eighth more (about 70 and 82 measured).
    most = 80 * (SHADOW if pictures["asan"] else 1)
    assert 56 <= pictures["frames"] <= most
    assert qp_maps["frames"] <= 16
