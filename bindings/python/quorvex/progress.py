"""The per-generation callback of a discovery: a progress display, and Ctrl-C.

The library runs the search in the calling thread, so Python's own SIGINT
handling waits until the call returns. While a discovery runs, a temporary
SIGINT handler only sets a flag; the callback, called between generations,
returns "stop" when it is set. A refined search then ends with its best
formula so far; a second Ctrl-C gives up that result and raises
KeyboardInterrupt as soon as the library hands control back.
"""
import signal
import sys
import threading
import time

from . import _native
from .errors import DataError

_WIDTH = 24


class Bar:
    """One line on a stream, redrawn with a carriage return at most ten times a second
    (terminals and notebooks both honour it)."""

    def __init__(self, stream, label):
        self.stream = stream
        self.label = label
        self.last = 0.0
        self.drawn = False

    def update(self, generation, generations, elapsed, best_bic):
        self.latest = (generation, generations, elapsed, best_bic)
        now = time.monotonic()
        if self.drawn and now - self.last < 0.1 and generation < generations:
            return
        self.last = now
        self._draw(generation, generations, elapsed, best_bic)

    def _draw(self, generation, generations, elapsed, best_bic):
        share = min(generation / generations, 1.0) if generations else 1.0
        filled = int(share * _WIDTH)
        bar = "#" * filled + "-" * (_WIDTH - filled)
        tail = f"  {elapsed:6.1f} s  best BIC {best_bic:.4g}" if self.label == "generation" else ""
        self.stream.write(f"\r[{bar}] {self.label} {generation}/{generations}{tail}   ")
        self.stream.flush()
        self.drawn = True

    def close(self):
        if self.drawn:
            self._draw(*self.latest)  # a refined search often ends before its cap
            self.stream.write("\n")
            self.stream.flush()


class TqdmBar:
    """The same through tqdm (tqdm.auto: a widget in a notebook)."""

    def __init__(self, tqdm, label):
        self.tqdm = tqdm
        self.label = label
        self.bar = None

    def update(self, generation, generations, elapsed, best_bic):
        if self.bar is None:
            self.bar = self.tqdm(total=generations, desc="quorvex", unit=self.label[:3],
                                 leave=True)
        self.bar.n = generation
        if self.label == "generation":
            self.bar.set_postfix_str(f"best BIC {best_bic:.4g}", refresh=False)
        self.bar.refresh()

    def close(self):
        if self.bar is not None:
            self.bar.close()


def in_notebook():
    """True under an IPython kernel (Jupyter, VS Code, Colab), whose stderr is no terminal."""
    ipython = sys.modules.get("IPython")
    get = getattr(ipython, "get_ipython", None)
    try:
        shell = get() if get is not None else None
    except Exception:  # an IPython half torn down, or not IPython at all
        return False
    if shell is None:
        return False
    return "IPKernelApp" in getattr(shell, "config", {}) or \
        type(shell).__name__ in ("ZMQInteractiveShell", "Shell")


def _stderr_is_terminal():
    isatty = getattr(sys.stderr, "isatty", None)
    try:
        return bool(isatty and isatty())
    except ValueError:  # a closed stream
        return False


def _notebook_display(label):
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return Bar(sys.stdout, label)
    return TqdmBar(tqdm, label)


def check_progress(progress):
    """None and "auto" are the automatic choice; other values count as True or False."""
    if isinstance(progress, str) and progress != "auto":
        raise DataError(f"progress must be 'auto' (or None), True or False, not {progress!r}")
    return "auto" if progress is None or progress == "auto" else bool(progress)


def display(progress, label="generation"):
    """progress="auto" (or None): a bar when stderr is a terminal, under a notebook a tqdm bar
    (a plain line without tqdm); True: a bar on stderr always; False: nothing."""
    progress = check_progress(progress)
    if progress is True:
        return Bar(sys.stderr, label)
    if progress is False:
        return None
    if _stderr_is_terminal():
        return Bar(sys.stderr, label)
    return _notebook_display(label) if in_notebook() else None


class Watch:
    """A context that turns Ctrl-C into a request to stop and gives the C callback.

    After the call, `interrupted` tells whether Ctrl-C was pressed, `abandoned` whether
    it was pressed twice."""

    def __init__(self, progress, permutations=False):
        label = "permutation" if permutations else "generation"
        self.bar = display(progress, label)
        self.interrupted = False
        self.abandoned = False
        self.in_call = False
        self._previous = None
        if permutations:
            self.callback = _native.PERMUTATION_FN(self._permutation)
        else:
            self.callback = _native.PROGRESS_FN(self._generation)

    def _generation(self, user, generation, generations, elapsed, best_bic):
        if self.bar is not None and not self.interrupted:
            try:
                self.bar.update(generation, generations, elapsed, best_bic)
            except Exception:  # a display must never cost the search
                self.bar = None
        return 1 if self.interrupted else 0

    def _permutation(self, user, done, total):
        return self._generation(user, done, total, 0.0, float("nan"))

    def _on_sigint(self, signum, frame):
        if not self.interrupted:
            self.interrupted = True
        elif self.in_call:
            # Raising inside the library's callback would be swallowed by ctypes.
            self.abandoned = True
        else:
            self.abandoned = True
            raise KeyboardInterrupt

    def call(self, fn):
        self.in_call = True
        try:
            return fn(self.callback)
        finally:
            self.in_call = False

    def __enter__(self):
        # Only Python's own Ctrl-C handling is replaced: a handler of the program's own already
        # runs in the callback, and signal.signal works only in the main thread.
        if threading.current_thread() is threading.main_thread() \
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            try:
                self._previous = signal.signal(signal.SIGINT, self._on_sigint)
            except ValueError:
                self._previous = None
        return self

    def __exit__(self, *exc):
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)
        if self.bar is not None:
            try:
                self.bar.close()
            except Exception:
                pass
        return False
