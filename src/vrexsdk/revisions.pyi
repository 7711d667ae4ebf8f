from typing import Dict, Optional

from typing_extensions import Self, disjoint_base

from vrexsdk.context import _Context

@disjoint_base
class __Revisions:
    def __new__(cls, ctx: Optional[_Context]) -> Self: ...
    def get(self) -> Dict[str, str]: ...
