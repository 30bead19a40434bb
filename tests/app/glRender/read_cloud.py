#!/usr/bin/python3
"""Prints a point file as Open3D reads it: the count, then one line per point,
x y z (shortest round-trip text) and r g b (0..255). usage: read_cloud.py FILE"""
import sys

import open3d as o3d

cloud = o3d.io.read_point_cloud(sys.argv[1])
print(len(cloud.points))
colours = cloud.colors if cloud.has_colors() else [[0, 0, 0]] * len(cloud.points)
for xyz, rgb in zip(cloud.points, colours):
    print(*(repr(float(v)) for v in xyz), *(round(c * 255) for c in rgb))
