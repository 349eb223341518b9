"""Open a video with vexmira and show what the session reports about it."""

import argparse

import vexmira

PROPERTIES = ("width", "height", "mb_cols", "mb_rows", "num_frames",
              "fps", "fps_num", "fps_den", "pix_fmt", "bytes_per_sample")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("video", help="path of an H.264 video file")
    args = parser.parse_args()

    session = vexmira.H264DecoderSession(args.video)
    print(args.video)
    for name in PROPERTIES:
        print(f"  {name:<17}{getattr(session, name)}")


if __name__ == "__main__":
    main()
