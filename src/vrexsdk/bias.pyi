from typing import Optional

from typing_extensions import Self, disjoint_base

from vrexsdk.context import _Context

@disjoint_base
class __Bias:
    def __new__(cls, ctx: Optional[_Context]) -> Self: ...
