from typing import final

@final
class _Context:
    def __init__(self) -> None: ...
