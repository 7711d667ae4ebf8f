from typing import Dict, Optional

from vrexsdk.context import _Context

class __Revisions:
    def __init__(self, ctx: Optional[_Context]) -> None: ...
    def get(self) -> Dict[str, str]: ...
