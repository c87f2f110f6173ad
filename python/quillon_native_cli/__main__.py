import sys

from quillon_native_cli.main import main

sys.exit(main())
