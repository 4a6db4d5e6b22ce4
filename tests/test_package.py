"""The package itself: blocks reachable from `tarnlet`, its version, and a
clear refusal to import from an unbuilt source folder."""
import importlib
import importlib.metadata
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import tarnlet

ROOT = pathlib.Path(__file__).resolve().parent.parent
LAZY = {"sewer": "tarnlet.brookvane.sewer", "loamtank": "tarnlet.brookvane.loamtank",
        "sedlift": "tarnlet.fenmoor.sedlift", "fractionation": "tarnlet.sallowby.fractionation",
        "combiner": "tarnlet.sallowby.combiner", "runs": "tarnlet.runs", "layout": "tarnlet.layout"}


def python(code, cwd, *flags):
    return subprocess.run([sys.executable, *flags, "-c", code], cwd=cwd, capture_output=True, text=True)


def test_blocks_are_imported_on_first_use(tmp_path):
    code = f"""
import importlib, sys, tarnlet
lazy = {LAZY!r}
assert not any(name in sys.modules for name in lazy.values()), "imported eagerly"
for short, dotted in lazy.items():
    assert getattr(tarnlet, short) is importlib.import_module(dotted), short
    assert short in dir(tarnlet)
"""
    result = python(code, tmp_path, "-P")
    assert result.returncode == 0, result.stderr


def test_version_and_unknown_attribute():
    assert tarnlet.__version__ == importlib.metadata.version("tarnlet")
    with pytest.raises(AttributeError, match="no attribute 'sewage'"):
        tarnlet.sewage  # noqa: B018


def test_source_folder_gives_one_clear_error(tmp_path):
    """Python started in an unbuilt checkout finds the package folder without
    its compiled modules (site is off so that no installed build interferes)."""
    shutil.copytree(ROOT / "tarnlet", tmp_path / "tarnlet",
                    ignore=shutil.ignore_patterns("*.so", "*.pyd", "__pycache__"))
    shutil.copy(ROOT / "meson.build", tmp_path)
    result = python("import tarnlet.brookvane.sewer", tmp_path, "-S")
    assert result.returncode == 1
    assert len(re.findall(r"^\w+Error:", result.stderr, re.M)) == 1
    assert "ImportError: tarnlet was imported from its source folder" in result.stderr
    assert "pip install" in result.stderr and "python -P" in result.stderr
