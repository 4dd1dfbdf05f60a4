import gc
import importlib
import inspect
import json
import sys
import weakref

import pytest

import vorn
from conftest import run_python, wd1_event

EventReader = vorn.EventReader
# Some CPython versions name the type by its dotted name in their own messages.
NAME = r"(builtins\.)?EventReader"


class TestModule:
    def test_surface_and_reimport(self):
        assert (vorn.__all__, vorn.__doc__) == (["EventReader"], "")
        assert {n for n in vars(vorn) if not n.startswith("_")} == {"EventReader"}
        saved = sys.modules.pop("vorn")
        try:
            assert importlib.import_module("vorn") is saved
            assert saved.__all__ == ["EventReader"]
        finally:
            sys.modules["vorn"] = saved

    def test_numpy_is_imported_only_by_the_first_event(self, write):
        out = run_python("import sys, vorn\n"
                         "r = vorn.EventReader(sys.argv[1], 'WD1')\n"
                         "before = 'numpy' in sys.modules\n"
                         "print(before, next(r)['data'].tolist(), 'numpy' in sys.modules)\n",
                         write(wd1_event(samples=(5,))))
        assert out.split() == ["False", "[5]", "True"]


class TestEventReaderType:
    def test_names_and_signature(self):
        assert (EventReader.__module__, EventReader.__name__, EventReader.__qualname__,
                EventReader.__text_signature__) == (
            "builtins", "EventReader", "EventReader", "(path, reader_type)")
        params = inspect.signature(EventReader).parameters
        assert [(n, p.kind) for n, p in params.items()] == [
            ("path", inspect.Parameter.POSITIONAL_OR_KEYWORD),
            ("reader_type", inspect.Parameter.POSITIONAL_OR_KEYWORD)]
        extra = set(dir(EventReader)) - set(dir(object)) - {"__module__"}
        assert extra == {"__iter__", "__next__"}

    def test_closed_for_extension(self, write):
        with pytest.raises(TypeError, match=rf"^type '{NAME}' is not an acceptable base type$"):
            type("Sub", (EventReader,), {})
        r = EventReader(write(wd1_event()), "WD1")
        with pytest.raises(AttributeError, match=rf"^'{NAME}' object has no attribute 'x'"
                                                 r"( and no __dict__ for setting new attributes)?$"):
            r.x = 1
        with pytest.raises(TypeError, match=rf"^cannot create weak reference to '{NAME}' object$"):
            weakref.ref(r)
        assert not gc.is_tracked(r)
        assert iter(r) is r and iter(iter(r)) is r
        assert [e["event_size"] for e in r] == [24]


class TestNumpyAccess:
    def test_layout_matches_installed_numpy(self, write):
        out = json.loads(run_python(
            "import json, sys, vorn\n"
            "next(vorn.EventReader(sys.argv[1], 'WD1'))\n"
            "import numpy\n"
            "print(json.dumps([numpy.__version__, [m for m in sys.modules\n"
            "                                      if m.endswith('core.multiarray')]]))\n",
            write(wd1_event(samples=(5,)))))
        new, old = "numpy._core.multiarray", "numpy.core.multiarray"
        if int(out[0].split(".")[0]) < 2:
            new, old = old, new
        assert new in out[1] and old not in out[1]

    def test_numpy_absent_raises_panic_and_retries(self, write):
        path = write(wd1_event(samples=(1,)) + wd1_event(samples=(2,)))
        out = json.loads(run_python(
            "import json, sys\n"
            "sys.modules['numpy'] = None\n"
            "import vorn\n"
            "r = vorn.EventReader(sys.argv[1], 'WD1')\n"
            "seen = []\n"
            "for _ in range(2):\n"
            "    try:\n"
            "        next(r)\n"
            "    except Exception as e:\n"
            "        seen.append(['caught as Exception', repr(e)])\n"
            "    except BaseException as e:\n"
            "        t = type(e)\n"
            "        seen.append([t.__module__, t.__name__, [b.__name__ for b in t.__bases__],\n"
            "                     list(e.args)])\n"
            "seen.append(next(r, 'end'))\n"
            "del sys.modules['numpy']\n"
            "open(sys.argv[1], 'ab').write(bytes.fromhex(sys.argv[2]))\n"
            "seen.append(next(r)['data'].tolist())\n"
            "print(json.dumps(seen))\n",
            path, wd1_event(samples=(3, 4)).hex()))
        prefix = ("Failed to access NumPy array API capsule: PyErr { type: "
                  "<class 'ModuleNotFoundError'>, value: ModuleNotFoundError(")
        for module, name, bases, args in out[:2]:
            assert (module, name, bases) == ("pyo3_runtime", "PanicException", ["BaseException"])
            assert len(args) == 1 and args[0].startswith(prefix), args
        # Both failed events were consumed; the appended one arrives once
        # NumPy can be imported again.
        assert out[2:] == ["end", [3, 4]]

    def test_numpy_not_installed_renders_without_traceback(self, write):
        # NumPy really missing from the path, not blocked in sys.modules: the
        # import system trims its own frames, leaving no traceback to show.
        path = write(wd1_event(samples=(1,)))
        out = run_python(
            "import importlib.util, os, sys\n"
            "import vorn\n"
            "where = os.path.dirname(importlib.util.find_spec('numpy').origin)\n"
            "sys.path[:] = [p for p in sys.path\n"
            "               if not os.path.exists(os.path.join(p or '.', 'numpy'))]\n"
            "try:\n"
            "    next(vorn.EventReader(sys.argv[1], 'WD1'))\n"
            "except BaseException as e:\n"
            "    print(e.args[0])\n",
            path)
        assert out.strip() == (
            "Failed to access NumPy array API capsule: PyErr { type: <class "
            "'ModuleNotFoundError'>, value: ModuleNotFoundError(\"No module "
            "named 'numpy'\"), traceback: None }")

    def test_reentry_during_numpy_import_fails_instead_of_hanging(self, tmp_path, write):
        # A numpy package whose import reads an event itself: the inner read
        # finds the lookup it is part of still running on its own thread.
        fake = tmp_path / "fake" / "numpy"
        fake.mkdir(parents=True)
        (fake / "__init__.py").write_text(
            "import sys, vorn\n"
            "try:\n"
            "    next(vorn.EventReader(sys.argv[1], 'WD1'))\n"
            "except BaseException as e:\n"
            "    print('inner', type(e).__name__, e.args[0].split(': PyErr')[0])\n"
            "    print('cause', 'RuntimeError' in e.args[0])\n")
        path = write(wd1_event(samples=(1,)))
        out = run_python(
            "import sys\n"
            f"sys.path.insert(0, {str(fake.parent)!r})\n"
            "import vorn\n"
            "try:\n"
            "    next(vorn.EventReader(sys.argv[1], 'WD1'))\n"
            "except BaseException as e:\n"
            "    print('outer', type(e).__name__)\n",
            path)
        assert out.splitlines() == [
            "inner PanicException Failed to access NumPy array API capsule",
            "cause True",
            "outer PanicException",
        ]
