from typing import Optional

from vrexsdk.context import _Context

class __Trigger:
    def __init__(self, ctx: Optional[_Context]) -> None: ...
