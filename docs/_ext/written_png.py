"""A sphinx-gallery image scraper for figures an example writes to disk.

The examples save their figures with ``savefig`` and close them, as scripts
do; this scraper picks up every PNG that appeared or changed in the
examples' output folder (``docs/_build/example-output``) while a code block
ran, and shows it below that block.
"""
from __future__ import annotations

import shutil
from pathlib import Path
from typing import Any

from sphinx_gallery.scrapers import figure_rst

_shown: dict[Path, int] = {}  # PNG path -> modification time already shown


def output_folder(gallery_conf: dict[str, Any]) -> Path:
    return Path(gallery_conf["src_dir"]) / "_build" / "example-output"


def scraper(block: Any, block_vars: dict[str, Any], gallery_conf: dict[str, Any], **kwargs: Any) -> str:
    folder = output_folder(gallery_conf)
    written = []
    for png in sorted(folder.glob("*.png")) if folder.is_dir() else []:
        stamp = png.stat().st_mtime_ns
        if _shown.get(png) != stamp:
            _shown[png] = stamp
            written.append(png)
    images = []
    for png, target in zip(written, block_vars["image_path_iterator"]):
        shutil.copyfile(png, target)
        images.append(target)
    return figure_rst(images, gallery_conf["src_dir"])
