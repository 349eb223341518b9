"""The viewer's HTTP interface. Files are named by their position on the command line, never
by a path, so that nothing a request carries can make the server open another file; static
files come from this package's static folder alone."""

from pathlib import Path

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles

from vexmira_tools.view.layers import layer_bytes
from vexmira_tools.view.pictures import picture_bytes
from vexmira_tools.view.sources import DEBLOCKING, VideoSource

STATIC = Path(__file__).resolve().parent / "static"
BINARY = "application/octet-stream"


def create_app(sources: list[VideoSource]) -> Starlette:
    def source_of(request: Request) -> VideoSource:
        index = request.path_params["file"]
        if not 0 <= index < len(sources):
            raise HTTPException(404, "no such file")
        return sources[index]

    def frame_of(request: Request, source: VideoSource) -> int:
        index = request.path_params["frame"]
        if not 0 <= index < source.info["frames"]:
            raise HTTPException(404, "no such frame")
        return index

    def session_of(request: Request, source: VideoSource):
        deblocking = request.query_params.get("deblocking", "skip")
        if deblocking not in DEBLOCKING:
            raise HTTPException(400, f"deblocking is one of {', '.join(DEBLOCKING)}")
        return source.session(deblocking)

    def index_page(request: Request) -> Response:
        return FileResponse(STATIC / "index.html")

    def files(request: Request) -> Response:
        return JSONResponse([source.info for source in sources])

    def stats(request: Request) -> Response:
        since = request.query_params.get("since", "0")
        if not since.isdigit():
            raise HTTPException(400, "since is a frame number")
        return JSONResponse(source_of(request).stats_since(int(since)))

    def stats_csv(request: Request) -> Response:
        source = source_of(request)
        return Response(source.stats_csv(), media_type="text/csv", headers={
            "Content-Disposition": f'attachment; filename="{Path(source.info["name"]).stem}-frames.csv"'})

    def picture(request: Request) -> Response:
        source = source_of(request)
        index = frame_of(request, source)
        return Response(picture_bytes(session_of(request, source), index, source.info), media_type=BINARY)

    def layer(request: Request) -> Response:
        source = source_of(request)
        index, name = frame_of(request, source), request.path_params["layer"]
        if name not in source.info["layers"]:
            raise HTTPException(404, "no such layer")
        return Response(layer_bytes(name, session_of(request, source), index), media_type=BINARY)

    return Starlette(routes=[
        Route("/", index_page),
        Route("/api/files", files),
        Route("/api/{file:int}/stats", stats),
        Route("/api/{file:int}/frames.csv", stats_csv),
        Route("/api/{file:int}/frame/{frame:int}/picture", picture),
        Route("/api/{file:int}/frame/{frame:int}/layer/{layer:str}", layer),
        Mount("/static", StaticFiles(directory=STATIC)),
    ])
