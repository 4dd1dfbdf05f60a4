"""Starting and stopping the monitor: the reading thread and the Bokeh server in front of the state.

The server answers only the page, its websocket and BokehJS from Bokeh's
own /static (resources are forced to "server", so the page needs no
internet); no request names a file, so none can make the monitor open one.
"""

from __future__ import annotations

import ipaddress
import logging
import sys
from dataclasses import dataclass, field
from typing import Any, TextIO

from .. import features as pulse_features
from ..pulses import PulseOptions
from . import DEFAULT_HOST, DEFAULT_PORT
from .app import PERIOD_MS, make_document
from .reader import Inputs, ReaderThread, Stoppable
from .state import MonitorState
from .views import Snapshot

__all__ = ["FitThread", "Monitor", "is_loopback", "log_to"]


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class FitThread(Stoppable):
    """Fits the state's charge spectra every `every` seconds, beside the reading thread rather than in it."""

    def __init__(self, state: MonitorState, every: float) -> None:
        super().__init__("vorn-monitor-fits")
        self.state = state
        self.every = every

    def run(self) -> None:
        try:
            while not self._stop_event.wait(self.every):
                self.state.fit_spectra()
        except Exception as failure:  # shown on the page; the reading goes on
            self.failure = failure
            self.state.record_fatal(f"the fits stopped: {type(failure).__name__}: {failure}")


@dataclass
class Monitor:
    """The reading thread and the server; `start`, then `serve_forever` or an IOLoop of one's own, then `stop`."""

    paths: list[str]
    reader_type: str = "auto"
    options: pulse_features.FeatureOptions = field(default_factory=pulse_features.FeatureOptions)
    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    period_ms: int = PERIOD_MS
    state: MonitorState = field(default_factory=MonitorState)
    run: bool = False  # the files given are the channels of one run
    pulses: PulseOptions | None = None  # how pulses are found, when the state counts them

    def __post_init__(self) -> None:
        self.reader = ReaderThread(Inputs.of(self.paths, self.run), self.state, self.reader_type, self.options,
                                   pulses=self.pulses)
        fits = self.state.fits
        self.fitter = None if fits is None else FitThread(self.state, fits.every)
        self._server: Any = None
        self.addresses: list[str] = []  # the addresses bound, once started

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}/"

    def start(self) -> None:
        """Binds the port (0 for a free one, then `port` says which) and starts reading."""
        from bokeh.application import Application
        from bokeh.application.handlers.function import FunctionHandler
        from bokeh.server.server import BaseServer
        from bokeh.server.tornado import BokehTornado
        from bokeh.server.util import bind_sockets, create_hosts_allowlist
        from bokeh.settings import settings
        from tornado.httpserver import HTTPServer
        from tornado.ioloop import IOLoop

        settings.resources.set_value("server")
        sockets, self.port = bind_sockets(self.host, self.port)
        self.addresses = [s.getsockname()[0] for s in sockets]
        origins = websocket_origins(self.host, self.port)
        try:
            application = Application(FunctionHandler(make_document(self.state, self.period_ms)))
            tornado = BokehTornado({"/": application}, extra_websocket_origins=create_hosts_allowlist(origins, self.port),
                                   absolute_url=None)
            http = HTTPServer(tornado)
            http.add_sockets(sockets)
        except Exception:
            for s in sockets:
                s.close()
            raise
        self._server = BaseServer(IOLoop.current(), tornado, http)
        self._server.start()
        self.reader.start()
        if self.fitter is not None:
            self.fitter.start()

    @property
    def io_loop(self) -> Any:
        """The loop the server runs in; stop it from another thread with `io_loop.add_callback(io_loop.stop)`."""
        return self._server.io_loop

    def serve_forever(self) -> None:
        """Runs the server's loop until it is stopped (KeyboardInterrupt ends it too)."""
        self._server.io_loop.start()

    def stop(self) -> Snapshot:
        """Stops reading and serving; returns the final state."""
        self.reader.stop(timeout=10)
        if self.fitter is not None:
            self.fitter.stop(timeout=10)
        if self._server is not None:
            self._server.stop()
            self._server.io_loop.stop()
            self._server = None
        return self.state.snapshot()


def websocket_origins(host: str, port: int) -> list[str]:
    """The pages whose scripts may open a session: those served from the address bound."""
    if is_loopback(host):
        return [f"localhost:{port}", f"127.0.0.1:{port}"]
    try:
        if ipaddress.ip_address(host).is_unspecified:
            return ["*"]  # any address of the machine; the command warns about it
    except ValueError:
        pass
    return [f"[{host}]:{port}" if ":" in host else f"{host}:{port}"]


class OneLine(logging.Formatter):
    """A record of the server's libraries as one `vorn: monitor:` line: a malformed request, say."""

    def format(self, record: logging.LogRecord) -> str:
        message = record.getMessage()
        text = message.splitlines()[0] if message else record.name
        if text.startswith("Uncaught exception "):  # Tornado's words for a request its handler refused
            text = text[len("Uncaught exception "):]
        if record.name == "tornado.access":
            text = f"refused {text.rsplit(' ', 1)[0]}"  # without the milliseconds it took
        if record.exc_info and record.exc_info[1] is not None:
            failure = record.exc_info[1]
            text += f": {type(failure).__name__}: {failure}" if str(failure) else f": {type(failure).__name__}"
        return f"vorn: monitor: {' '.join(text.split())}"


class _Refusals(logging.Filter):
    """Of the access log, only refused requests (4xx but 404, and 5xx): a browser's /favicon.ico is none."""

    def filter(self, record: logging.LogRecord) -> bool:
        if record.name != "tornado.access":
            return True
        status = record.args[0] if isinstance(record.args, tuple) and record.args else None
        return isinstance(status, int) and status >= 400 and status != 404


def log_to(stream: TextIO | None = None) -> None:
    """Sends what Tornado and Bokeh log at WARNING or above to `stream` (stderr), one line a record.

    Their own handlers print tracebacks for requests that are merely
    malformed; the command's stderr carries only its own lines.
    """
    handler = logging.StreamHandler(stream or sys.stderr)
    handler.setFormatter(OneLine())
    handler.addFilter(_Refusals())
    for name in ("tornado", "bokeh"):
        logger = logging.getLogger(name)
        for old in list(logger.handlers):
            logger.removeHandler(old)
        logger.addHandler(handler)
        logger.setLevel(logging.WARNING)
        logger.propagate = False

