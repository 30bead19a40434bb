#!/usr/bin/python3
"""Streams five seconds of SLAM clouds and saves them as one PLY with Open3D.
usage: PYTHONPATH=build/release/python stream_to_ply.py [PRESET|usb] [OUT.ply]
PRESET is the virtual KestOne's (default demo); usb takes the device on USB."""
import sys

import numpy as np
import open3d as o3d

import kestone

preset = sys.argv[1] if len(sys.argv) > 1 else "demo"
out = sys.argv[2] if len(sys.argv) > 2 else "stream.ply"
xyz, rgb = [], []
with kestone.open(virtual=None if preset == "usb" else preset) as dev:
    print("serial", dev.info()["serial"])
    for frame in dev.frames(seconds=5):
        if frame.kind == "slam":
            xyz.append(frame.xyz)
            rgb.append(frame.rgb)
cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(np.concatenate(xyz).astype(np.float64)))
cloud.colors = o3d.utility.Vector3dVector(np.concatenate(rgb) / 255.0)
o3d.io.write_point_cloud(out, cloud)
print(len(cloud.points), "points in", out)
