from typing import Optional

from vrexsdk.context import _Context

class __Revisions:
    def __init__(self, ctx: Optional[_Context]) -> None: ...
