"""Tools around the vexmira module: vexmira-stats and its Dask runner."""
