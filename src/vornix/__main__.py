import sys

from vornix.cli import main

sys.exit(main())
