"""How much is read, measured and written at a time, each size with the reason for its value.

Every block, part, chunk and step size of the package is named here once,
by what it sizes, so that one reading shows how the pieces fit together
(the cache a block is meant to stay in, the memory a reading holds) and
tests can make them small in one place. Amounts of samples are in bytes,
so that a size holds for 16-bit and float samples alike; `_EVENTS` and
`_ROWS` sizes count events or table rows. Steps are strings in the units
that `step_size` takes ("64 MB").

The CPU caches these sizes are chosen for are those of a common desktop or
server core: an L2 cache of 256 KiB to 2 MiB per core and an L3 cache of
tens of MB shared.
"""

from __future__ import annotations

__all__ = [
    "BLOCK_BYTES", "BLOCK_MAX_EVENTS", "CONVERT_COLUMN_CHUNK_EVENTS", "CONVERT_COPY_BYTES",
    "CONVERT_FLAT_CHUNK_BYTES", "CONVERT_UNCHUNKED_BYTES", "FILL_PART_BYTES", "FLAT_BLOCK_BYTES",
    "ITERATE_READ_BYTES", "ITERATE_STEP", "MONITOR_BLOCK_BYTES", "MONITOR_BLOCK_EVENTS", "MONITOR_ROUND_BLOCKS",
    "RUN_COLUMN_CHUNK_EVENTS", "RUN_SAMPLES_CHUNK_BYTES", "SKIP_READ_BYTES", "TABLE_CHUNK_BYTES",
    "TABLE_READ_ROWS", "TABLE_STEP", "TREE_BASKET_BYTES", "TREE_HELD_BYTES", "TREE_READ_BYTES",
]

# --- blocks of events (vorn_tools.blocks.EventBlocks) ---------------------------------

# Samples of a 2-D block (events x samples), reused for every block of a
# file: small enough to be filled and then written or copied while it still
# sits in a core's L2 cache.
BLOCK_BYTES = 256 << 10
# Samples of a flat block (events of different lengths): such files are rarer
# and each flat block costs a write of its own, so fewer, larger ones.
FLAT_BLOCK_BYTES = 4 << 20
# Events of a block at most: for events of a few samples or none, the header
# columns rather than the samples would otherwise make a block of hundreds
# of thousands of events.
BLOCK_MAX_EVENTS = 1 << 16
# The parts a large block is read in when each is wanted as soon as it is
# read (iterate(features=) measures them in a second thread): a part is
# measured while it is still in the L3 cache.
FILL_PART_BYTES = 8 << 20
# Samples read at a time into a scratch buffer, and dropped, to skip the
# events before a selection: thousands of short events a call, in cache.
SKIP_READ_BYTES = 1 << 20

# --- steps of vorn_tools.reading.iterate and vorn_tools.runs.open_run -------------------

# The default step: blocks large enough that the Python work of a block is
# nothing beside its reading, small enough that a caller holding a few of
# them holds a few hundred MB at most.
ITERATE_STEP = "64 MB"
# What a file's blocks are read in before they are cut into steps (the
# reader's own blocks, BLOCK_BYTES): each is copied into its step while in cache.
ITERATE_READ_BYTES = BLOCK_BYTES

# --- feature and pulse tables (vorn_tools.feature_table, vorn_tools.dask) ----------------

# Samples measured at a time: enough to keep the kernel's calls long, small
# enough that the blocks in flight (one read ahead, one measured, one
# written) stay a few tens of MB.
TABLE_STEP = "8 MB"
# An HDF5 table's chunk: no larger than HDF5's chunk cache (1 MiB a dataset
# by default), so that a chunk filled by appended blocks is compressed once,
# and within the 10 KiB to 1 MiB that h5py advises.
TABLE_CHUNK_BYTES = 1 << 20
# Rows of a table read back at a time (vorn_tools.analysis.tables): a few
# tens of MB for the columns of a histogram.
TABLE_READ_ROWS = 1 << 20

# --- ROOT trees (vorn_tools.outputs.root_tree) --------------------------------------------

# uproot writes a basket per branch at each `extend`, and its advice is at
# least this much a branch and `extend`: small baskets make slow files.
TREE_BASKET_BYTES = 100_000
# Blocks held back for the baskets are written at this much anyway, which
# bounds the memory of a tree whose few branches fill baskets slowly.
TREE_HELD_BYTES = 32 << 20
# Samples of an event file read at a time for its tree: few blocks to gather
# into a basket.
TREE_READ_BYTES = 8 << 20

# --- event files and runs converted to HDF5 (vorn convert) -----------------------------

# A chunk of flat samples at most, for HDF5's chunk cache of 1 MiB a dataset
# (see TABLE_CHUNK_BYTES).
CONVERT_FLAT_CHUNK_BYTES = 1 << 20
# Header values of a chunk at most; they are gathered over this many events
# and written a whole chunk at a time.
CONVERT_COLUMN_CHUNK_EVENTS = 1 << 16
# What a switch from 2-D to flat samples copies at a time, which bounds the
# memory of the copy whatever was written before it.
CONVERT_COPY_BYTES = 16 << 20
# Below this many bytes of events a group is written unchunked at the end: a
# chunked dataset's index alone takes about 2 KiB, more than compressing such
# a dataset could save.
CONVERT_UNCHUNKED_BYTES = 16 << 10
# Events of a chunk of a run's 1-D and (events, channels) columns.
RUN_COLUMN_CHUNK_EVENTS = 1 << 12
# A chunk of a run's (events, channels, samples) samples at most, for HDF5's
# chunk cache (see TABLE_CHUNK_BYTES).
RUN_SAMPLES_CHUNK_BYTES = 1 << 20

# --- vorn monitor (vorn_tools.monitor.reader) ---------------------------------------------

# Samples of a block: the feature kernel's fastest size, in cache.
MONITOR_BLOCK_BYTES = 512 << 10
# Events of a block at most, as BLOCK_MAX_EVENTS: events of a few samples or
# none would otherwise fill a block with header values.
MONITOR_BLOCK_EVENTS = 4096
# Blocks read from a file before the next file's turn, so that a busy file
# does not keep the others' events from the page.
MONITOR_ROUND_BLOCKS = 16
