"""Entry point of `make bench`: runs the benchmark suite against the installed
torvan. The repository root is appended to sys.path (run with python -P), so
the benchmarks package is found while `import torvan` still finds the built
package in the venv rather than the source tree."""

import sys
from pathlib import Path

sys.path.append(str(Path(__file__).resolve().parent.parent))

from benchmarks.__main__ import main  # noqa: E402

sys.exit(main())
