"""Tools around the vexmira module: vexmira-stats and its Dask runner; FrameStats, the type of
frame_stats' result, and frame_stats_frame, that result as a pandas DataFrame."""

from vexmira_tools.frame_stats_types import FrameStats, frame_stats_frame

__all__ = ["FrameStats", "frame_stats_frame"]
