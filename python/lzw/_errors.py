"""The exceptions of lzw, apart so that the extension can raise them as it loads."""

__all__ = ["LzwError", "ChecksumError"]


class LzwError(Exception):
    """A call of the C library failed: damaged or truncated data, an input over its limits.

    ``code`` is the library's error code (a negative int, one of the LZW_ERROR_ values of
    lzw.h) and ``name`` its name there, such as ``"LZW_ERROR_ENDS_EARLY"``: stable, for
    programs and logs.
    """

    def __init__(self, code: int, message: "str | None" = None) -> None:
        from . import _lzw  # loaded by now: only the extension and the package raise these

        self.code = code
        self.name = _lzw.error_name(code)
        if message is None:
            message = f"{self.name}: {_lzw.error_text(code)}"
        super().__init__(code, message)

    def __str__(self) -> str:
        return self.args[1]


class ChecksumError(LzwError):
    """A frame's block or content checksum does not match its decoded bytes."""

# Shown, and pickled, as the package's own.
LzwError.__module__ = ChecksumError.__module__ = "lzw"
