"""Event writers, reference readers and the environment of child
interpreters, shared by the tests and by the leak drivers in tests/."""
import os
import struct
import threading
import time


def assert_same_bytes(found, expected):
    """Byte-for-byte equality that fails at once with the first differing offset.

    pytest's own report of two unequal byte strings diffs them in full, which
    takes minutes for a few hundred kilobytes.
    """
    found, expected = bytes(found), bytes(expected)
    if found != expected:
        at = next((i for i, (a, b) in enumerate(zip(found, expected)) if a != b), min(len(found), len(expected)))
        raise AssertionError(f"{len(found)} bytes against {len(expected)} expected, first difference at {at}")


def wd1_event(event_size=None, board_id=0, pattern=0, board_channel=0,
              event_counter=0, timestamp=0, samples=()):
    """`samples` is bytes taken as is, or numbers packed as little-endian uint16."""
    payload = (samples if isinstance(samples, bytes)
               else struct.pack(f"<{len(samples)}H", *samples))
    if event_size is None:
        event_size = 24 + len(payload)
    return struct.pack("<6i", event_size, board_id, pattern, board_channel,
                       event_counter, timestamp) + payload


def wd2_event(counter, timestamp, samples_per_channel, period, data,
              channels=None):
    """`data` is bytes taken as is, or numbers packed as little-endian float32."""
    if not isinstance(data, bytes):
        data = struct.pack(f"<{len(data)}f", *data)
    word = b"" if channels is None else struct.pack("<i", channels)
    return (struct.pack("<IQIQ", counter, timestamp, samples_per_channel, period)
            + word + data)


def f32_bits(values):
    return list(struct.unpack(f"<{len(values)}I",
                              struct.pack(f"<{len(values)}f", *values)))


def ref_wd1(raw):
    """Rows of a whole WD1 file: the six header words and the samples."""
    events, pos = [], 0
    while len(raw) - pos >= 24:
        header = list(struct.unpack_from("<6i", raw, pos))
        n = (header[0] - 24) // 2
        if pos + header[0] > len(raw):
            break
        events.append(header + [list(struct.unpack_from(f"<{n}H", raw, pos + 24))])
        pos += header[0]
    return events


def ref_wd2(raw, k, word):
    """Rows of a whole WD2 file of K = `k`, with or without the channels word:
    the five header values and the samples' bits."""
    events, pos, head = [], 0, 28 if word else 24
    while len(raw) - pos >= head:
        counter, timestamp, samples, period = struct.unpack_from("<IQIQ", raw, pos)
        channels = struct.unpack_from("<i", raw, pos + 24)[0] if word else k
        if len(raw) - pos - head < 4 * samples * k:
            break
        data = list(struct.unpack_from(f"<{samples * k}I", raw, pos + head))
        events.append([counter, timestamp, samples, period, channels, data])
        pos += head + 4 * samples * k
    return events


def child_env(libfault=None, **extra):
    """The environment of a child interpreter that imports this vorn, with
    `libfault` preloaded and `extra` set."""
    import vorn

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        filter(None, [os.path.dirname(vorn.__file__), env.get("PYTHONPATH")]))
    env["OPENBLAS_NUM_THREADS"] = "1"
    if libfault is not None:
        # A sanitizer runtime, when one is preloaded, has to stay first.
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), str(libfault)]))
    env.update({k: str(v) for k, v in extra.items()})
    return env


def write_in_pieces(path, raw, piece, pause):
    """Starts a thread that appends `raw` to `path` `piece` bytes at a time,
    one write(2) each with `pause` seconds between them: pieces that ignore
    event boundaries, as a writer's flushes do. Returns the thread."""
    def write():
        with open(path, "ab", buffering=0) as f:
            for start in range(0, len(raw), piece):
                f.write(raw[start:start + piece])
                time.sleep(pause)

    thread = threading.Thread(target=write)
    thread.start()
    return thread
