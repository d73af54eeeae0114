"""`python -m kivio`: the `kiv` command."""

import sys

from kivio.cli import main

if __name__ == "__main__":
    sys.exit(main())
