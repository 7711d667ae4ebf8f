"""The README's Python code runs, in order, on the simulated device, as a new user would paste it."""
import os
import pathlib
import re
import subprocess
import sys

import vrexsdk

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_the_readme_python_blocks_run_in_order(tmp_path):
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    assert len(blocks) >= 5, "the README's python blocks were not found"
    script = tmp_path / "readme_code.py"
    script.write_text("\n".join(blocks), encoding="utf-8")
    # Files the code writes (mask.npy, run.npz, run.png) land in the temporary directory.
    # The package as this test imports it, whether installed or staged on a relative PYTHONPATH.
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(vrexsdk.__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [package_root, os.environ.get("PYTHONPATH")])))
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr[-3000:]
    assert "Traceback" not in result.stderr
    assert {"mask.npy", "run.npz", "run.png"} <= {p.name for p in tmp_path.iterdir()}
