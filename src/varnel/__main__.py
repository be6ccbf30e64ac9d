import sys

from varnel.cli import main

sys.exit(main())
