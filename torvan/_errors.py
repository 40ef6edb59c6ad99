"""The errors of a full, empty or closed Channel.

Each class derives from the built-in type these errors have always been
raised as and from the :mod:`queue` module's exception of the same meaning,
so that ``except RuntimeError`` and ``except queue.Empty`` both catch an empty
channel. The native module raises them (it finds them here once this module
is imported, which importing :mod:`torvan` does first).
"""

import queue

__all__ = ["ChannelClosed", "ChannelEmpty", "ChannelFull"]


class ChannelFull(RuntimeError, queue.Full):
    """Raised by ``try_send`` when the channel has no room: "Channel is full"."""


class ChannelEmpty(RuntimeError, queue.Empty):
    """Raised by ``try_recv`` when nothing is buffered: "Channel is empty"."""


class ChannelClosed(ValueError, queue.ShutDown):
    """Raised when a channel is closed: a send ("Channel is closed"), or a receive
    once the buffer is drained ("Channel is closed and empty"); by ``select`` with
    "Selected channel is closed" or "Selected channel is closed and empty"."""

    #: For ``select``: the position in ``ops`` of the operation whose channel is
    #: closed. None for an error of a channel's own method.
    index: int | None = None
