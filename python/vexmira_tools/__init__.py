"""Tools around the vexmira module: vexmira-stats and its Dask runner; FrameStats and
SyntaxStats, the types of frame_stats' and syntax_stats' results, and frame_stats_frame,
frame_stats' result as a pandas DataFrame."""

from vexmira_tools.frame_stats_types import FrameStats, SyntaxStats, frame_stats_frame

__all__ = ["FrameStats", "SyntaxStats", "frame_stats_frame"]
