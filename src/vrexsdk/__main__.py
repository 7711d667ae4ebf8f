"""``python -m vrexsdk``: the ``vrexsdk`` command (see :mod:`vrexsdk.cli`)."""

import sys

from vrexsdk.cli import main

if __name__ == "__main__":
    sys.exit(main())
