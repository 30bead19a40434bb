#!/usr/bin/python3
"""kestctl export, read back by other programs: Open3D and PCL's tools must
find in every exported file the points, colours, poses and pictures the
recording holds. The recording is read here from its file layouts, not
through kestctl.

usage: check_export.py KESTCTL WORKDIR [KESTCTL OPTIONS...]
Exit status 0 when every check passed, 1 on a failure, 77 when a reader is
missing (the test is then reported as skipped, and says so loudly).
"""
import csv
import os
import re
import shutil
import struct
import subprocess
import sys

SKIP = 77
try:
    import numpy as np
    import open3d as o3d
except ImportError as error:
    print(f"SKIPPED, A READER IS MISSING: {error} (scripts/setup installs python3-open3d)")
    sys.exit(SKIP)
for tool in ("pcl_convert_pcd_ascii_binary", "pcl_ply2pcd"):
    if shutil.which(tool) is None:
        print(f"SKIPPED, A READER IS MISSING: {tool} (scripts/setup installs pcl-tools)")
        sys.exit(SKIP)

kestctl, work = sys.argv[1], sys.argv[2]
extra = sys.argv[3:]


def time_scale():
    """The factor on every time limit of a test: the environment's when it is a
    whole number from 1 to 100, else the build's (see tests/CMakeLists.txt)."""
    for name in ("KEST_TIME_SCALE", "KEST_BUILD_TIME_SCALE"):
        value = os.environ.get(name, "")
        if value.isdigit() and 1 <= int(value) <= 100:
            return int(value)
    return 1


scale = time_scale()
failures = []
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)
    return condition


def run(*args, expect=0):
    done = subprocess.run([kestctl, *args], capture_output=True, text=True, timeout=600 * scale)
    check(done.returncode == expect,
          f"kestctl {' '.join(args)}: exit {done.returncode}, not {expect}\n{done.stderr}")
    return done


def records(path, unit):
    """(sequence, seconds, count, body) per record; unit 0 for poses."""
    data = open(path, "rb").read()
    at, out = 0, []
    while at < len(data):
        sequence, seconds = struct.unpack_from("<Id", data, at)
        count = 0 if unit == 0 else struct.unpack_from("<I", data, at + 12)[0]
        size = 40 if unit == 0 else 16 + count * unit
        assert at + size <= len(data), f"{path}: record at {at} cut off"
        out.append((sequence, seconds, count, data[at + 12 if unit == 0 else at + 16:at + size]))
        at += size
    return out


def cloud_arrays(body, count):
    raw = np.frombuffer(body, dtype=np.dtype([("xyz", "<f4", 3), ("rgb", "u1", 3)]), count=count)
    return raw["xyz"].astype(np.float64), raw["rgb"].astype(np.int64)


def same_points(label, xyz, rgb, want_xyz, want_rgb, tolerance=0.0):
    if not check(len(xyz) == len(want_xyz), f"{label}: {len(xyz)} points, not {len(want_xyz)}"):
        return
    # Text gives the shortest decimal that reads back as the same float32.
    same = (np.array_equal(np.asarray(xyz, dtype=np.float32), want_xyz.astype(np.float32))
            if tolerance == 0 else np.allclose(xyz, want_xyz, rtol=0, atol=tolerance))
    check(same, f"{label}: coordinates differ")
    check(np.array_equal(rgb, want_rgb), f"{label}: colours differ")


def open3d_points(path):
    cloud = o3d.io.read_point_cloud(path)
    return np.asarray(cloud.points), np.rint(np.asarray(cloud.colors) * 255).astype(np.int64)


def pcl_ascii_points(pcd):
    """PCL reads pcd and writes it as ASCII; x y z and the packed rgb read back."""
    out = pcd + ".pcl.txt"
    subprocess.run(["pcl_convert_pcd_ascii_binary", pcd, out, "0"], check=True,
                   capture_output=True, timeout=600 * scale)
    lines = open(out).read().splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("DATA")) + 1
    values = np.array([line.split() for line in lines[start:]], dtype=np.float64).reshape(-1, 4)
    packed = values[:, 3].astype(np.int64)
    rgb = np.stack([(packed >> 16) & 255, (packed >> 8) & 255, packed & 255], axis=1)
    return values[:, :3], rgb


def pcl_points(path):
    if path.endswith(".ply"):
        pcd = path + ".pcl.pcd"
        subprocess.run(["pcl_ply2pcd", path, pcd], check=True, capture_output=True, timeout=600 * scale)
        path = pcd
    return pcl_ascii_points(path)


# A recording of the virtual KestOne, as kestctl record makes it.
made = run("--virtual-device", *extra, "record", "--seconds", str(2 * scale), "--dir", f"{work}/rec")
recording = re.search(r"recording: (\S+)\n", made.stdout).group(1)
name = os.path.basename(recording)
clouds = records(f"{recording}/MT{name}.kvx", 15)
poses = records(f"{recording}/KestPose.bin", 0)
images = records(f"{recording}/KestImage.bin", 1)
check(len(clouds) > 1 and len(poses) > 1 and len(images) > 1, "the recording holds every stream")

# Each cloud as its own file, in every format; PLY and PCD through both readers.
for form, ascii in (("ply", False), ("ply", True), ("pcd", False), ("pcd", True), ("csv", False)):
    out = f"{work}/{form}{'-ascii' if ascii else ''}"
    run("export", recording, "--format", form, "--out", out, *(["--ascii"] if ascii else []))
    index = list(csv.DictReader(open(f"{out}/clouds.csv")))
    check(len(index) == len(clouds), f"{out}: {len(index)} clouds listed, not {len(clouds)}")
    for row, (sequence, seconds, count, body) in zip(index, clouds):
        check(int(row["sequence"]) == sequence and int(row["points"]) == count and
              abs(float(row["time"]) - seconds) < 1e-6, f"{out}: index line {row}")
        want_xyz, want_rgb = cloud_arrays(body, count)
        path = f"{out}/{row['file']}"
        if form == "csv":
            table = np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2)
            same_points(path, table[:, :3], table[:, 3:].astype(np.int64), want_xyz, want_rgb)
            continue
        same_points(f"{path} (Open3D)", *open3d_points(path), want_xyz, want_rgb)
        # PCL writes ASCII with 8 significant digits.
        same_points(f"{path} (PCL)", *pcl_points(path), want_xyz, want_rgb, tolerance=1e-5)

# One map of every cloud, in recording order.
all_xyz = np.concatenate([cloud_arrays(body, count)[0] for _, _, count, body in clouds])
all_rgb = np.concatenate([cloud_arrays(body, count)[1] for _, _, count, body in clouds])
run("export", recording, "--merge", "--out", f"{work}/map")
same_points("map.ply (Open3D)", *open3d_points(f"{work}/map/map.ply"), all_xyz, all_rgb)

# Thinned: one recorded point per occupied 5 cm voxel (the float32 quotient).
run("export", recording, "--merge", "--voxel", "0.05", "--format", "pcd", "--out", f"{work}/vox")
xyz, rgb = open3d_points(f"{work}/vox/map.pcd")
keys = np.floor(all_xyz.astype(np.float32) / np.float32(0.05)).astype(np.int64)
check(len(xyz) == len(np.unique(keys, axis=0)), f"thinned map: {len(xyz)} points, not one a voxel")
got_keys = np.floor(xyz.astype(np.float32) / np.float32(0.05)).astype(np.int64)
check(len(np.unique(got_keys, axis=0)) == len(xyz), "thinned map: two points in one voxel")
recorded = {tuple(p) + tuple(c) for p, c in zip(all_xyz.astype(np.float32), all_rgb)}
check(all(tuple(p) + tuple(c) in recorded for p, c in zip(xyz.astype(np.float32), rgb)),
      "thinned map: a point the recording does not hold")

# The trajectory: one line a pose, the quaternion of unit length.
run("export", recording, "--tum", f"{work}/trajectory.txt", "--images", f"{work}/images")
tum = np.loadtxt(f"{work}/trajectory.txt", comments="#", ndmin=2)
check(len(tum) == len(poses), f"trajectory: {len(tum)} poses, not {len(poses)}")
for line, (_, seconds, _, body) in zip(tum, poses):
    values = np.array(struct.unpack("<7f", body), dtype=np.float64)
    quaternion = values[3:] / np.linalg.norm(values[3:])
    check(abs(line[0] - seconds) < 1e-6 and np.allclose(line[1:4], values[:3], atol=1e-6) and
          np.allclose(line[4:], quaternion, atol=1e-6), f"trajectory line {line}")

# The pictures, byte for byte, with their times.
index = list(csv.DictReader(open(f"{work}/images/images.csv")))
check(len(index) == len(images), f"images: {len(index)} listed, not {len(images)}")
for row, (sequence, seconds, _, body) in zip(index, images):
    check(open(f"{work}/images/{row['file']}", "rb").read() == body and
          int(row["sequence"]) == sequence and abs(float(row["time"]) - seconds) < 1e-6,
          f"image {row}")

# A cloud cut off at the end: everything before it exported, the cut reported.
cut = f"{work}/cut"
shutil.copytree(recording, cut)
os.rename(f"{cut}/MT{name}.kvx", f"{cut}/MTcut.kvx")
os.truncate(f"{cut}/MTcut.kvx", os.path.getsize(f"{cut}/MTcut.kvx") - 3)
done = run("export", cut, "--out", f"{work}/cut-out", expect=1)
check("is cut off" in done.stderr, f"the cut is reported: {done.stderr}")
check(len(list(csv.DictReader(open(f"{work}/cut-out/clouds.csv")))) == len(clouds) - 1,
      "the clouds before the cut are exported")
missing = run("export", f"{work}/nothing-here", "--out", f"{work}/x", expect=66)
check("nothing-here does not exist" in missing.stderr, f"a folder that does not exist: {missing.stderr}")
os.makedirs(f"{work}/empty")
empty = run("export", f"{work}/empty", "--out", f"{work}/x", expect=66)
check("empty is not a recording" in empty.stderr, f"a folder that is not a recording: {empty.stderr}")

print(f"{len(failures)} failures" if failures else "every export read back as recorded")
sys.exit(1 if failures else 0)
