"""Exceptions raised for failures the SDK reports.

Every class derives from :class:`VrexSdkException`, so ``except VrexSdkException`` catches them all.
"""

__all__ = [
    "VrexSdkException",
    "VrexSdkInternalException",
    "VrexSdkInvalidOperationError",
    "VrexSdkInvalidArgumentError",
    "VrexSdkNoMemoryException",
    "VrexSdkPointerException",
    "VrexSdkAxiException",
]


class VrexSdkException(Exception):
    """Base class of every failure the SDK reports."""


class VrexSdkInternalException(VrexSdkException):
    """The SDK failed internally (status -1)."""


class VrexSdkInvalidOperationError(VrexSdkException):
    """The operation is not valid in the current state, e.g. no device is open (status -2)."""


class VrexSdkInvalidArgumentError(VrexSdkException):
    """An argument was rejected by the SDK, e.g. an unknown identifier (status -3)."""


class VrexSdkNoMemoryException(VrexSdkException):
    """The SDK ran out of memory (status -4)."""


class VrexSdkPointerException(VrexSdkException):
    """The SDK was handed an invalid pointer (status -5)."""


class VrexSdkAxiException(VrexSdkException):
    """An AXI register access failed (status 102 or 103)."""


_BY_STATUS = {
    -1: VrexSdkInternalException,
    -2: VrexSdkInvalidOperationError,
    -3: VrexSdkInvalidArgumentError,
    -4: VrexSdkNoMemoryException,
    -5: VrexSdkPointerException,
    102: VrexSdkAxiException,
    103: VrexSdkAxiException,
}


def _throwVrexError(status, operation):
    """Raises the exception mapped to the SDK ``status`` with a message naming ``operation``.

    A status the SDK does not map raises nothing.
    """
    cls = _BY_STATUS.get(status)
    if cls is not None:
        raise cls(f"{operation} failed with status {status}")
