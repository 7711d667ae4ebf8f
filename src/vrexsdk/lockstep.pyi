from typing import List, Optional

from typing_extensions import Self, disjoint_base

from vrexsdk.context import _Context

@disjoint_base
class __Lockstep:
    def __new__(cls, ctx: Optional[_Context]) -> Self: ...
    def getOptionIds(self) -> List[str]: ...
    def selectOption(self, optionId: str) -> None: ...
