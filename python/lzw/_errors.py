"""The exceptions of lzw, apart so that the extension can raise them as it loads."""

__all__ = ["LzwError", "ChecksumError"]


class LzwError(OSError):
    """A call of the C library failed: damaged or truncated data, an input over its limits.

    An OSError, as gzip's BadGzipFile and bz2's errors are, so that one ``except OSError``
    catches a bad file of any of them. ``code`` is the library's error code (a negative int,
    one of the LZW_ERROR_ values of lzw.h) and ``name`` its name there, such as
    ``"LZW_ERROR_ENDS_EARLY"``: stable, for programs and logs. ``errno`` is None (no system
    call failed) and ``strerror`` the message.
    """

    def __init__(self, code: int, message: "str | None" = None) -> None:
        from . import _lzw  # loaded by now: only the extension and the package raise these

        self.code = code
        self.name = _lzw.error_name(code)
        if message is None:
            message = f"{self.name}: {_lzw.error_text(code)}"
        super().__init__(code, message)
        self.errno = None

    def __str__(self) -> str:
        return self.args[1]


class ChecksumError(LzwError):
    """A frame's block or content checksum does not match its decoded bytes."""

# Shown, and pickled, as the package's own.
LzwError.__module__ = ChecksumError.__module__ = "lzw"
