from typing import Optional

from vrexsdk.context import _Context

class __Board:
    def __init__(self, ctx: Optional[_Context]) -> None: ...
