import gc
import re
import weakref

import numpy as np
import pytest

import vorn
from conftest import wd1_event, wd2_event
from vorn import EventReader

FORMATS = {
    "WD1": (lambda n, vals: b"".join(wd1_event(samples=vals) for _ in range(n)),
            (0x1234, 0xFFFF), np.uint16),
    "WD2": (lambda n, vals: b"".join(wd2_event(i, 0, len(vals) // 2, 1, vals, 2)
                                     for i in range(n)), (1.5, -2.0, 3.25, 0.0), np.float32),
}


@pytest.fixture(params=sorted(FORMATS))
def fmt(request, write):
    build, values, dtype = FORMATS[request.param]

    def reader(n=2, vals=values):
        path = write(build(n, vals), f"{n}-{len(vals)}-{vals[:1]}.bin")
        return EventReader(path, request.param), list(vals)
    reader.dtype = np.dtype(dtype)
    return reader


class TestLayout:
    def test_dtype_shape_strides_flags(self, fmt):
        r, values = fmt()
        data = next(r)["data"]
        assert (type(data), data.dtype, data.dtype.isnative, data.shape, data.strides) == (
            np.ndarray, fmt.dtype, True, (len(values),), (fmt.dtype.itemsize,))
        f = data.flags
        assert (f.owndata, f.writeable, f.c_contiguous, f.f_contiguous, f.aligned) == (
            False, True, True, True, True)
        assert data.tolist() == values

    @pytest.mark.parametrize("n_values", [0, None])
    def test_holder_base(self, fmt, n_values):
        r, _ = fmt(2, ()) if n_values == 0 else fmt()
        a, b = next(r)["data"], next(r)["data"]
        holder = type(a.base)
        assert holder is type(b.base) and a.base is not b.base
        assert (holder.__module__, holder.__name__, holder.__qualname__) == (
            "builtins", "PySliceContainer", "PySliceContainer")
        assert (a.shape == (0,)) == (n_values == 0) and not a.flags.owndata
        assert not hasattr(vorn, "PySliceContainer")
        assert not gc.is_tracked(a.base)
        # Some CPython versions name the type by its dotted name in their own messages.
        for make, message in [
            (lambda: holder(), "cannot create '{}' instances"),
            (lambda: type("Sub", (holder,), {}), "type '{}' is not an acceptable base type"),
            (lambda: weakref.ref(a.base), "cannot create weak reference to '{}' object"),
        ]:
            with pytest.raises(TypeError, match="^" + re.escape(message).replace(
                    r"\{\}", r"(builtins\.)?PySliceContainer") + "$"):
                make()


class TestOwnership:
    def test_writes_go_to_the_holders_buffer(self, fmt):
        r, values = fmt()
        first, second = next(r)["data"], next(r)["data"]
        view = first[::-1]
        first[0], first[-1] = 7, 3
        assert first.tolist() == [7, *values[1:-1], 3] and view[-1] == 7
        assert not np.shares_memory(first, second) and second.tolist() == values

    def test_slice_outlives_dict_array_and_reader(self, fmt):
        r, values = fmt()
        ev = next(r)
        part = ev["data"][1:]
        arrays = [e["data"] for e in r]
        del ev, r
        gc.collect()
        # Same-sized buffers would land in the memory if it had been freed.
        zeros = [0] * len(values)
        assert all(e["data"].tolist() == zeros for e in fmt(50, zeros)[0])
        assert part.tolist() == values[1:] and [a.tolist() for a in arrays] == [values]
