"""python -m carvola: the carvola command."""

import sys

from carvola._cli import main

sys.exit(main())
