#!/usr/bin/python3
"""Reads a recording and shows its map, thinned to one point per 5 cm voxel,
with Open3D. usage: PYTHONPATH=build/release/python show_merged_map.py REC"""
import sys

import numpy as np
import open3d as o3d

import kestone

recording = kestone.Recording(sys.argv[1])
print(recording.summary()["clouds"]["records"], "clouds")
xyz, rgb = recording.merged(voxel=0.05)
cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(xyz.astype(np.float64)))
cloud.colors = o3d.utility.Vector3dVector(rgb / 255.0)
o3d.visualization.draw_geometries([cloud], window_name=f"{len(xyz)} points")
