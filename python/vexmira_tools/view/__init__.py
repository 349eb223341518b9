"""vexmira-view: a local web page over the module. A timeline of every frame's size, type and
mean QP, and the frame itself with its QP map, macroblock types and motion vectors drawn over
it; two files side by side, aligned by time. The server (Starlette and uvicorn, the view
extra) serves only the files named on its command line, and the page's script and style come
from this package, so it works without a network."""
