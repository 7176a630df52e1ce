# Exceptions: TypeError for argument binding and a non-bytes payload,
# TypeError/OverflowError (or what __index__ raised) for min_rows, each
# conversion error with a note; RuntimeError for every transform failure.
# When an object on the way out cannot be created (memory exhausted), an
# internal failure deriving from BaseException, not Exception, is raised.

__all__ = ["columnarize"]

def columnarize(payload: bytes, min_rows: int = 20) -> bytes: ...
