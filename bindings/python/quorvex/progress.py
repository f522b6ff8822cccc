"""The per-generation callback of a discovery: a progress bar on a terminal, and Ctrl-C.

The library runs the search in the calling thread, so Python's own SIGINT
handling waits until the call returns. While a discovery runs, a temporary
SIGINT handler only sets a flag; the callback, called between generations,
returns "stop" when it is set, and KeyboardInterrupt is raised once the call
has returned.
"""
import signal
import sys
import threading
import time

from . import _native

_WIDTH = 24


class Bar:
    """One line on stderr, redrawn at most ten times a second."""

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


def wants_bar(progress):
    """progress=None: a bar when stderr is a terminal; True: always; False: never."""
    if progress is None:
        isatty = getattr(sys.stderr, "isatty", None)
        try:
            return bool(isatty and isatty())
        except ValueError:  # a closed stream
            return False
    return bool(progress)


class Watch:
    """A context that turns Ctrl-C into a request to stop and gives the C callback.

    `interrupted` tells, after the call, whether Ctrl-C was pressed."""

    def __init__(self, progress, permutations=False):
        label = "permutation" if permutations else "generation"
        self.bar = Bar(sys.stderr, label) if wants_bar(progress) else None
        self.interrupted = False
        self._previous = None
        if permutations:
            self.callback = _native.PERMUTATION_FN(self._permutation)
        else:
            self.callback = _native.PROGRESS_FN(self._generation)

    def _generation(self, user, generation, generations, elapsed, best_bic):
        if self.bar is not None:
            self.bar.update(generation, generations, elapsed, best_bic)
        return 1 if self.interrupted else 0

    def _permutation(self, user, done, total):
        if self.bar is not None:
            self.bar.update(done, total, 0.0, float("nan"))
        return 1 if self.interrupted else 0

    def _on_sigint(self, signum, frame):
        self.interrupted = True

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
            self.bar.close()
        return False
