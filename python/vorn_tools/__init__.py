"""The `vorn` command line: inspect, convert to HDF5, plot and follow event files.

Pure Python on top of the `vorn` extension; run it as `vorn` or
`python -m vorn_tools`. The libraries beyond NumPy come with the `cli` extra
(and `dask` for --scheduler) and are imported only by the commands that use
them.
"""
