"""What the frame cache keeps alive: the pictures of the last 64 frames whose pixels were
asked for, and no pictures at all for frames whose QP maps alone were."""

import json
import subprocess
import sys

import pytest

# Peak growth of the resident set while reading every frame one way, in a fresh interpreter
# so that the figure is that session's own.
READ_ALL = """
import json, sys
import vexmira

def status(field):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(field + ":"))

session = vexmira.H264DecoderSession(sys.argv[1])
frame_bytes = sum(session.get_plane_data(0, plane).nbytes for plane in range(3))
baseline = status("VmRSS")
for i in range(session.num_frames):
    session.get_qpmap(i) if sys.argv[2] == "qp" else session.get_plane_data(i, 0)
print(json.dumps({"frames": (status("VmHWM") - baseline) / frame_bytes, "count": session.num_frames}))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_qp_maps_alone_keep_no_pictures_alive(media):
    path = str(media("mp4_360p"))

    def growth(read):
        result = subprocess.run([sys.executable, "-c", READ_ALL, path, read], check=True, capture_output=True,
                                text=True)
        return json.loads(result.stdout)

    pictures, qp_maps = growth("pictures"), growth("qp")
    assert pictures["count"] == qp_maps["count"] == 80
    # 64 pictures cached, each a whole frame's buffer; the decoder's own few come on top.
    assert 56 <= pictures["frames"] <= 80
    assert qp_maps["frames"] <= 16
