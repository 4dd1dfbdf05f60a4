import sys

from vorn_tools.commands.cli import main

sys.exit(main())
