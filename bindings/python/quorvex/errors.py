"""The exceptions the package raises."""


class QuorvexError(Exception):
    """Base class of every error raised by quorvex."""


class LibraryNotFoundError(QuorvexError, OSError):
    """The shared library could not be found or loaded."""


class DataError(QuorvexError, ValueError):
    """Data or an argument that the library cannot take."""
