"""python -m corvane_config_cli: the corvane-config command."""

import sys

from corvane_config_cli import main

sys.exit(main())
