"""Objects that stand in for arguments whose conversion hooks return what the test chooses."""


class EncodesTo:
    def __init__(self, value):
        self.value = value

    def encode(self):
        return self.value


class IntReturns:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value
