#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Draws a stack written by travik: the cube in 3-D beside some of its slices.

    python3 docs/render.py FOLDER OUT.png

FOLDER holds the slices of one run (depth 3 draws quickly; depth 4 takes a minute). Needs numpy,
Pillow and matplotlib (Debian: python3-numpy python3-pil python3-matplotlib).
"""
import glob
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy
import PIL.Image

folder, out = sys.argv[1], sys.argv[2]
files = sorted(glob.glob(f"{folder}/*.tif"))
cube = numpy.stack([numpy.array(PIL.Image.open(f)) for f in files])  # cube[z][y][x]
edge = len(files)
shown = [0, edge // 6, edge // 3, edge // 2]  # 0, 4, 9 and 13 at depth 3: each kind of slice

fig = plt.figure(figsize=(10, 5), dpi=100)
solid = cube.transpose(2, 1, 0) == 189  # voxels() takes [x][y][z]
ax = fig.add_subplot(1, 2, 1, projection="3d")
ax.voxels(solid, facecolors="#bdbdbd", edgecolors="#6e6e6e", linewidth=0.2)
ax.set_box_aspect((1, 1, 1))
ax.view_init(elev=28, azim=-55)
ax.set_axis_off()
ax.set_title(f"{edge}³ voxels from {edge} slices", fontsize=11)
for i, z in enumerate(shown):
    sub = fig.add_subplot(2, 4, 3 + i % 2 + 4 * (i // 2))
    sub.imshow(cube[z], cmap="gray", vmin=0, vmax=255, interpolation="nearest")
    sub.set_title(files[z].rsplit("/", 1)[-1], fontsize=10)
    sub.set_xticks([])
    sub.set_yticks([])
fig.tight_layout()
fig.savefig(out)
