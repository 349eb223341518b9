import sys

from vexmira_tools.view.cli import main

sys.exit(main())
