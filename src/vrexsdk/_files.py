"""Files written whole or not at all: every file the package writes goes through :func:`replacing`.

A writer fills a temporary file in the target's folder; only once it is complete and on disk is it renamed over
the target, so a reader (or the next run, after a crash or a power cut) finds the old file, the new one, or none,
never a torn one. The temporary file is removed on any error.

A Ctrl-C while the file is being written is deferred until the file is whole and then raised as
:class:`SaveInterrupted` with ``saved=True``; a second Ctrl-C during the same write abandons it (the temporary
file is removed, the target is left as it was) and raises :class:`SaveInterrupted` with ``saved=False``. Both are
:class:`KeyboardInterrupt`, so a script that does not look for them still stops as on any Ctrl-C.
"""

from __future__ import annotations

import contextlib
import os
import secrets
import signal
import stat
import threading
from types import FrameType
from typing import IO, Any, Callable, Iterator, List, Optional, Union

__all__ = ["SaveInterrupted", "open_replacing", "replacing"]

PathLike = Union[str, "os.PathLike[str]"]


class SaveInterrupted(KeyboardInterrupt):
    """Ctrl-C during a save. :attr:`saved` tells whether :attr:`path` was written (whole) before it took effect.

    With ``saved=False`` a second Ctrl-C abandoned the save: the file at :attr:`path` is as it was before.
    """

    def __init__(self, path: str, saved: bool) -> None:
        super().__init__(f"{path} saved before the interrupt" if saved else f"interrupted: {path} not saved")
        self.path = path
        self.saved = saved


class _DeferredInterrupt:
    """While active on the main thread, SIGINT is noted instead of raised; once armed, a second one raises.

    Only Python's own handler (the one raising KeyboardInterrupt) is abandoned by a second Ctrl-C: a program that
    installed its own handler gets every signal delivered, after the file is complete.
    """

    def __init__(self) -> None:
        self.previous: Any = None
        self.installed = False
        self.armed = False
        self.pending: List[Optional[FrameType]] = []
        # The file being written. The second Ctrl-C removes it before raising: the KeyboardInterrupt may land where
        # no cleanup of ours runs any more (between a context manager's __enter__ and the start of its block).
        self.temporary: Optional[str] = None
        self.abandoned = False
        self.saved_when_abandoned = False

    def _handler(self, signum: int, frame: Optional[FrameType]) -> None:
        self.pending.append(frame)
        self.check()

    def check(self) -> None:
        if self.armed and len(self.pending) >= 2 and self.previous is signal.default_int_handler:
            if self.temporary is not None and not self.abandoned:
                self.abandoned = True
                self.saved_when_abandoned = not os.path.lexists(self.temporary)  # renamed into place already
                _remove(self.temporary)
                self.restore()  # nor may our handler outlive the save, whoever finishes it
            raise KeyboardInterrupt

    def arm(self) -> None:
        """From here on a second Ctrl-C abandons the save (before, there is nothing to clean up yet)."""
        self.armed = True
        self.check()

    def __enter__(self) -> "_DeferredInterrupt":
        # Signal handlers can be changed only from the main thread (and SIGINT interrupts only that thread). A
        # handler that is not Python's (SIG_IGN, SIG_DFL, one set from C) is left alone: no KeyboardInterrupt
        # can come from it.
        if threading.current_thread() is threading.main_thread():
            previous = signal.getsignal(signal.SIGINT)
            if callable(previous):
                self.previous = previous
                signal.signal(signal.SIGINT, self._handler)
                self.installed = True
        return self

    def restore(self) -> None:
        self.armed = False
        if self.installed:
            signal.signal(signal.SIGINT, self.previous)
            self.installed = False

    def __exit__(self, *exc: Any) -> None:
        self.restore()

    def deliver(self, path: str) -> None:
        """Hands a Ctrl-C deferred during a completed save to whoever handled SIGINT before."""
        if not self.pending:
            return
        if self.previous is signal.default_int_handler:
            raise SaveInterrupted(path, saved=True)
        handler: Callable[[int, Optional[FrameType]], Any] = self.previous
        for frame in self.pending:
            handler(signal.SIGINT, frame)


def _temporary_name(target: str) -> str:
    folder, name = os.path.split(target)
    # Hidden and named after the target, so a leftover (after SIGKILL) is recognisable and never taken for data.
    return os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")


def _create(target: str) -> str:
    for _ in range(100):
        temporary = _temporary_name(target)
        try:
            # 0o666 under the umask, as open(target, "w") would create it.
            os.close(os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666))
        except FileExistsError:
            continue
        try:
            # Replacing a file keeps its permissions, as writing it in place did.
            os.chmod(temporary, stat.S_IMODE(os.stat(target).st_mode))
        except FileNotFoundError:
            pass
        return temporary
    raise FileExistsError(f"cannot create a temporary file beside {target}")


def _sync(path: str, directory: bool = False) -> None:
    flags = os.O_RDONLY | (getattr(os, "O_DIRECTORY", 0) if directory else 0)
    try:
        fd = os.open(path, flags)
    except OSError:
        if directory:
            return  # some systems cannot open a folder; the rename is done all the same
        raise
    try:
        os.fsync(fd)
    except OSError:
        if not directory:
            raise
    finally:
        os.close(fd)


def _remove(path: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)


@contextlib.contextmanager
def replacing(path: PathLike) -> Iterator[str]:
    """Yields the name of a temporary file beside `path` for the caller to write; renames it to `path` after.

    The temporary file exists (empty) when the block starts. When the block ends normally the file is flushed to
    disk and renamed over `path` (atomically, keeping an existing file's permissions; through a symbolic link to
    the file it names); when it raises, the temporary file is removed and `path` is untouched. Ctrl-C is
    deferred as the module describes. A `path` that is a device, pipe or socket is yielded itself, to write in
    place.
    """
    target = os.fspath(path)
    if not isinstance(target, str):
        raise TypeError(f"a file name must be text, not {type(target).__name__}")
    # Through a symbolic link, as writing in place went: the link stays, the file it names is replaced.
    target = os.path.realpath(target) if os.path.islink(target) else target
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        mode = stat.S_IFREG
    if not stat.S_ISREG(mode) and not stat.S_ISDIR(mode):
        # A device, a pipe or a socket (/dev/null, /dev/stdout, a FIFO) is written in place: renaming over it
        # would put a plain file where the device was.
        yield target
        return
    interrupts = _DeferredInterrupt()
    with interrupts:
        temporary = _create(target)
        interrupts.temporary = temporary
        try:
            interrupts.arm()
            yield temporary
            _sync(temporary)
            os.replace(temporary, target)
            interrupts.restore()
        except KeyboardInterrupt:
            # The second Ctrl-C may land just after the rename: then the file is whole and stays.
            saved = interrupts.saved_when_abandoned if interrupts.abandoned else not os.path.lexists(temporary)
            _remove(temporary)
            raise SaveInterrupted(target, saved=saved) from None
        except BaseException:
            _remove(temporary)
            raise
    _sync(os.path.dirname(os.path.abspath(target)), directory=True)
    interrupts.deliver(target)


@contextlib.contextmanager
def open_replacing(path: PathLike, mode: str = "wb", **kwargs: Any) -> Iterator[IO[Any]]:
    """``open(path, mode)`` for writing through :func:`replacing`: `path` changes only once the block completes."""
    if mode not in ("w", "wb"):
        raise ValueError(f"open_replacing writes a new file: mode 'w' or 'wb', not {mode!r}")
    with replacing(path) as temporary:
        with open(temporary, mode, **kwargs) as f:
            yield f
