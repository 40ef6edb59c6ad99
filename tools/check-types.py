"""Checks the type stubs against the installed extension (stubtest, with no
allowlist) and type-checks the package and every Python code block of
README.md with mypy --strict, so an example that no longer matches the stubs
fails the build. Each block is written to a file of its own, padded so that
mypy's line numbers are README's.
Usage: python tools/check-types.py  (with the venv's interpreter, torvan installed)"""

import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "build" / "readme-examples"
BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


def run(step: str, command: list[str], cwd: Path) -> None:
    out = subprocess.run([sys.executable, *command], cwd=cwd, capture_output=True, text=True)
    if out.returncode != 0:
        # An example's line numbers are README's own.
        sys.stdout.write(re.sub(r"readme_line_\d+\.py:", "README.md:", out.stdout + out.stderr))
        sys.exit(f"[types] error: {step} failed")


def write_examples() -> list[str]:
    readme = (ROOT / "README.md").read_text()
    EXAMPLES.mkdir(parents=True, exist_ok=True)
    for old in EXAMPLES.glob("*.py"):
        old.unlink()
    names = []
    for match in BLOCK.finditer(readme):
        first_line = readme.count("\n", 0, match.start(1)) + 1
        name = f"readme_line_{first_line}.py"
        (EXAMPLES / name).write_text("\n" * (first_line - 1) + match.group(1))
        names.append(name)
    if not names:
        sys.exit("[types] error: README.md has no Python code block")
    return names


def main() -> None:
    # From the examples' directory, so that the installed package is checked,
    # not the source tree.
    names = write_examples()
    run("stubtest", ["-m", "mypy.stubtest", "torvan"], EXAMPLES)
    cache = str(ROOT / "build" / "mypy-cache")
    run("mypy --strict on the package", ["-m", "mypy", "--strict", "--cache-dir", cache, "-p", "torvan"], ROOT)
    run("mypy --strict on README.md", ["-m", "mypy", "--strict", "--cache-dir", cache, *names], EXAMPLES)
    print(f"[types] stubs match the extension; the package and {len(names)} README examples type-check")


if __name__ == "__main__":
    main()
