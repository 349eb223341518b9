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
    def random_access_least_work(path, targets):
        """The fastest exact-frame recipe one can write with PyAV, on one thread with the
        deblocking filter skipped as in the module: seek to the last key frame at or before
        the target, send the packets by hand with every picture that nothing references
        skipped except the target's, and decode on without seeking when the next target's
        packet lies later in the same interval. Returns the seconds and the processor seconds
        for all targets."""
        import av
        with av.open(str(path)) as container:
            stream = container.streams.video[0]
            context = stream.codec_context
            context.thread_type, context.thread_count = "NONE", 1
            context.options = {"skip_loop_filter": "all"}
            table = [(packet.pts, packet.is_keyframe) for packet in container.demux(stream) if packet.pts is not None]
            keys, last_key = [], 0
            for position, (_, is_key) in enumerate(table):
                last_key = position if is_key else last_key
                keys.append(last_key)
            frames = sorted(range(len(table)), key=lambda position: table[position][0])
            packets, run_key, next_position = None, None, 0
            start, start_processor = time.perf_counter(), time.process_time()
            for target in targets:
                position = frames[target]
                pts, key = table[position][0], keys[position]
                if key != run_key or position < next_position:
                    container.seek(table[key][0], stream=stream, backward=True, any_frame=False)
                    context.flush_buffers()
                    packets, run_key, next_position = container.demux(stream), key, key
                    # Demuxers may land before the key packet; what precedes it is dropped.
                    packet = next(packet for packet in packets if packet.pts == table[key][0])
                    packets = _starting_with(packet, packets)
                found = False
                for packet in packets:
                    next_position += 1
                    context.skip_frame = "DEFAULT" if packet.pts == pts else "NONREF"
                    if any(frame.pts == pts for frame in context.decode(packet)):
                        found = True
                        break
                if not found:
                    raise RuntimeError(f"PyAV did not decode frame {target}")
                if packet.size == 0:
                    run_key = None
            return time.perf_counter() - start, time.process_time() - start_processor

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


def _starting_with(first, rest):
    yield first
    yield from rest


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
