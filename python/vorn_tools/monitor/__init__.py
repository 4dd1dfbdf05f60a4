"""`vorn monitor`: a live view of a run in the browser, while its files grow.

One reading thread follows every file (`reader.py`), computes the pulse
features of each block of events (and, when asked, finds its every pulse)
and merges them into the shared state (`state.py`): fixed-size histograms
of the feature columns shown, ring buffers of the last waveforms and of the
event rate, and counters, the pulses' among them (the bounded tallies in
`tallies.py`, the records of files and channels and the frozen views a
snapshot hands out in `views.py`). Every browser session only renders snapshots of
that state (`app.py`), so any number of them see the same view and none can
hold up the reading. With `--fit spe` a third thread fits the channels'
charge histograms every few seconds and hands the gains back to the state.
`server.py` starts and stops the whole.

The page is a Bokeh server application. Bokeh, rather than Panel, because the
page needs nothing Panel adds on top of it (templates, widget layouts, other
plotting back-ends): plain Bokeh keeps one library between the state and the
browser, its server already serves BokehJS itself from /static, so the page
works without internet, and a periodic callback per session that sends only
changed column data is exactly the update model a monitor needs.
"""

__all__ = ["DEFAULT_HOST", "DEFAULT_PORT"]

# Where the page is served unless told otherwise: this machine only, and a
# port the command line can name without importing the server.
DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8765
