from typing import Optional

from vrexsdk.context import _Context

class __Monitor:
    def __init__(self, ctx: Optional[_Context]) -> None: ...
