"""The same runs with the readers a user would pick instead, each on its own FFmpeg build:
PyAV with its usual exact-frame recipe, and OpenCV's VideoCapture."""

import importlib.util
import time

import numpy as np


class Reader:
    name = module = ""

    @classmethod
    def available(cls):
        return importlib.util.find_spec(cls.module) is not None


class PyAV(Reader):
    name, module = "PyAV", "av"

    @staticmethod
    def version():
        import av
        codec = ".".join(map(str, av.library_versions["libavcodec"]))
        return f"{av.__version__} (libavcodec {codec})"

    @staticmethod
    def random_access(path, targets):
        """Seek to the key frame before the target's timestamp and decode until it comes out."""
        import av
        with av.open(str(path)) as container:
            stream = container.streams.video[0]
            timestamps = sorted(packet.pts for packet in container.demux(stream) if packet.pts is not None)
            start = time.perf_counter()
            for target in targets:
                pts = timestamps[target]
                container.seek(pts, stream=stream, backward=True, any_frame=False)
                for frame in container.decode(stream):
                    if frame.pts is not None and frame.pts >= pts:
                        np.frombuffer(frame.planes[0], np.uint8).copy()
                        break
            return time.perf_counter() - start

    @staticmethod
    def sequential_pictures(path):
        import av
        with av.open(str(path)) as container:
            stream = container.streams.video[0]
            start = time.perf_counter()
            frames = 0
            for frame in container.decode(stream):
                for plane in frame.planes:
                    np.frombuffer(plane, np.uint8).copy()
                frames += 1
            return frames, time.perf_counter() - start


class OpenCV(Reader):
    name, module = "OpenCV", "cv2"

    @staticmethod
    def version():
        import cv2
        return cv2.__version__

    @staticmethod
    def random_access(path, targets):
        import cv2
        capture = cv2.VideoCapture(str(path), cv2.CAP_FFMPEG)
        start = time.perf_counter()
        for target in targets:
            capture.set(cv2.CAP_PROP_POS_FRAMES, target)
            capture.read()
        elapsed = time.perf_counter() - start
        capture.release()
        return elapsed

    @staticmethod
    def sequential_pictures(path):
        """Its pictures come converted to BGR; that conversion is part of its reading."""
        import cv2
        capture = cv2.VideoCapture(str(path), cv2.CAP_FFMPEG)
        start = time.perf_counter()
        frames = 0
        while capture.read()[0]:
            frames += 1
        elapsed = time.perf_counter() - start
        capture.release()
        return frames, elapsed


READERS = [PyAV, OpenCV]
