"""Only local files are opened: a path FFmpeg would take as a URL is refused before anything
connects, and a file whose name merely looks like one still opens."""

import shutil
import socket
import threading

import pytest

import vexmira


class Listener:
    """A TCP port on the loopback that closes every connection at once, counting them, so
    that a client that connects fails instead of waiting for an answer."""

    def __init__(self):
        self.server = socket.create_server(("127.0.0.1", 0))
        self.server.settimeout(0.1)
        self.port = self.server.getsockname()[1]
        self.connections = 0
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self.serve)
        self.thread.start()

    def serve(self):
        while not self.stopped.is_set():
            try:
                connection, _ = self.server.accept()
            except TimeoutError:
                continue
            self.connections += 1
            connection.close()

    def stop(self):
        self.stopped.set()
        self.thread.join()
        self.server.close()


@pytest.fixture
def listener():
    listening = Listener()
    yield listening
    listening.stop()


@pytest.mark.parametrize("scheme", ["http", "tcp", "rtsp", "HTTPS", "file"])
def test_a_url_is_refused_before_connecting(listener, scheme):
    with pytest.raises(ValueError, match=f"^Only local files are opened: the path starts with '{scheme}:'"):
        vexmira.H264DecoderSession(f"{scheme}://127.0.0.1:{listener.port}/clip.mp4")
    assert listener.connections == 0


def test_other_protocols_are_refused(media):
    for path in (f"concat:{media('mp4')}|{media('mp4')}", f"subfile,,start,0,end,0,,:{media('mp4')}"):
        with pytest.raises((ValueError, RuntimeError)) as raised:
            vexmira.H264DecoderSession(path)
        assert "Only local files" in str(raised.value) or "Cannot open input video" in str(raised.value)


def test_local_files_open_whatever_their_names_look_like(media, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    named_like_a_url = tmp_path / "http:clip.mp4"
    shutil.copy(media("mp4"), named_like_a_url)
    expected = vexmira.H264DecoderSession(str(media("mp4"))).get_qpmaps().tolist()
    for path in (str(named_like_a_url), "./http:clip.mp4"):
        assert vexmira.H264DecoderSession(path).get_qpmaps(threads=2).tolist() == expected
