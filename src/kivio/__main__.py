"""`python -m kivio`: the `kiv` command."""

import sys

from .cli import main

sys.exit(main())
