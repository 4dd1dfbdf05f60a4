import fcntl
import os
import pathlib

import pytest

from conftest import wd1_event, wd2_event
from vorn import EventReader

NEW = "EventReader.__new__()"
NOFILE = "no-such-file.bin"
CAST = "argument '{}': '{}' object cannot be cast as 'str'"


class Named:
    __qualname__ = "Outer.Named"


class TestArguments:
    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, f"{NEW} missing 2 required positional arguments: 'path' and 'reader_type'"),
        ((NOFILE,), {}, f"{NEW} missing 1 required positional argument: 'reader_type'"),
        ((), {"reader_type": "WD1"}, f"{NEW} missing 1 required positional argument: 'path'"),
        ((NOFILE, "WD1", "x"), {}, f"{NEW} takes 2 positional arguments but 3 were given"),
        ((NOFILE, "WD1", "x", "y"), {}, f"{NEW} takes 2 positional arguments but 4 were given"),
        ((NOFILE, "WD1"), {"mode": "r"}, f"{NEW} got an unexpected keyword argument 'mode'"),
        ((), {"mode": "r"}, f"{NEW} got an unexpected keyword argument 'mode'"),
        ((), {"Path": NOFILE, "reader_type": "WD1"}, f"{NEW} got an unexpected keyword argument 'Path'"),
        ((NOFILE,), {"path": "b"}, f"{NEW} got multiple values for argument 'path'"),
        ((NOFILE, "WD1"), {"reader_type": "WD2"}, f"{NEW} got multiple values for argument 'reader_type'"),
        ((NOFILE,), {"zzz": 1, "path": "b"}, f"{NEW} got an unexpected keyword argument 'zzz'"),
        ((NOFILE,), {"path": "b", "zzz": 1}, f"{NEW} got multiple values for argument 'path'"),
        ((1, "WD1"), {}, CAST.format("path", "int")),
        ((1, None), {}, CAST.format("path", "int")),
        ((NOFILE, None), {}, CAST.format("reader_type", "NoneType")),
        (("a\0b", None), {}, CAST.format("reader_type", "NoneType")),
        ((b"events.bin", "WD1"), {}, CAST.format("path", "bytes")),
        ((pathlib.Path(NOFILE), "WD1"), {}, CAST.format("path", "PosixPath")),
        ((NOFILE, b"WD1"), {}, CAST.format("reader_type", "bytes")),
        ((Named(), "WD1"), {}, CAST.format("path", "Outer.Named")),
    ])
    def test_binding_and_conversion(self, args, kwargs, message):
        with pytest.raises(TypeError) as exc:
            EventReader(*args, **kwargs)
        assert type(exc.value) is TypeError
        assert exc.value.args == (message,)

    def test_keywords_and_str_subclass_accepted(self, write):
        r = EventReader(reader_type=type("S", (str,), {})("WD1"),
                        path=write(wd1_event(event_counter=7)))
        assert next(r)["event_counter"] == 7

    @pytest.mark.parametrize("which", ["path", "reader_type"])
    def test_lone_surrogate(self, write, which):
        with pytest.raises(UnicodeEncodeError) as exc:
            EventReader(**{"path": write(b""), "reader_type": "WD1", which: "\ud800"})
        assert str(exc.value) == ("'utf-8' codec can't encode character '\\ud800' "
                                  "in position 0: surrogates not allowed")


class TestOpen:
    @pytest.mark.parametrize("path, reader_type, cls, message", [
        (NOFILE, "WD1", FileNotFoundError, "No such file or directory (os error 2)"),
        (NOFILE, "XYZ", FileNotFoundError, "No such file or directory (os error 2)"),
        (NOFILE, "WD2", FileNotFoundError, "No such file or directory (os error 2)"),
        ("a\0b", "WD1", OSError, "file name contained an unexpected NUL byte"),
        ("events.bin/x", "WD1", NotADirectoryError, "Not a directory (os error 20)"),
        ("x" * 300, "WD1", OSError, "File name too long (os error 36)"),
    ])
    def test_open_failures(self, write, monkeypatch, path, reader_type, cls, message):
        monkeypatch.chdir(os.path.dirname(write(b"")))
        with pytest.raises(OSError) as exc:
            EventReader(path, reader_type)
        assert type(exc.value) is cls
        assert exc.value.args == (message,)
        assert (exc.value.errno, exc.value.strerror, exc.value.filename) == (None, None, None)

    @pytest.mark.skipif(os.geteuid() == 0, reason="root bypasses file permissions")
    def test_permission_denied(self, write):
        path = write(wd1_event())
        os.chmod(path, 0)
        with pytest.raises(PermissionError) as exc:
            EventReader(path, "WD1")
        assert (exc.value.args, exc.value.errno) == (("Permission denied (os error 13)",), None)

    @pytest.mark.parametrize("reader_type", ["wd1", "WD3", " WD1", "WD1 ", "", "WD1\0", "ẄD1"])
    def test_unknown_reader_type(self, write, reader_type):
        with pytest.raises(ValueError) as exc:
            EventReader(write(wd1_event()), reader_type)
        assert type(exc.value) is ValueError
        assert exc.value.args == (f"unknown reader type '{reader_type}', expected 'WD1' or 'WD2'",)

    def test_descriptors(self, write):
        path = write(wd1_event(), "a.bin")

        def fds_on(target):
            found = []
            for fd in os.listdir("/proc/self/fd"):
                try:
                    found += [int(fd)] if os.readlink(f"/proc/self/fd/{fd}") == target else []
                except FileNotFoundError:  # the listing's own descriptor
                    pass
            return found

        r = EventReader(path, "WD1")
        [fd] = fds_on(path)
        assert fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC
        assert fcntl.fcntl(fd, fcntl.F_GETFL) & os.O_ACCMODE == os.O_RDONLY
        del r
        failures = [(path, "wd1", ValueError), (write(b"", "e.bin"), "WD2", OSError),
                    (write(wd2_event(0, 0, 1, 1, [0.5], channels=1), "o.bin"), "WD2", OSError),
                    (write(wd2_event(0, 0, 2, 1, [1.0, 2.0], -1) * 2, "n.bin"), "WD2", OSError),
                    (os.path.dirname(path), "WD2", OSError), (path + "x", "WD1", OSError)]
        count = len(os.listdir("/proc/self/fd"))
        for _ in range(10):
            for p, reader_type, cls in failures:
                with pytest.raises(cls):
                    EventReader(p, reader_type)
        assert len(os.listdir("/proc/self/fd")) == count
        assert fds_on(path) == []
