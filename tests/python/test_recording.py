"""kestone.Recording against the recording's own file layouts (read here with
numpy) and against kestctl export: the same clouds, poses, pictures,
calibration and merged map, and a clear error for whatever is not whole."""
import os
import random
import re
import shutil
import subprocess

import numpy as np
import pytest

import kestone

KESTCTL = os.environ["KESTCTL"]
CLOUD = np.dtype([("xyz", "<f4", 3), ("rgb", "u1", 3)])


def records(path, unit):
    """(sequence, seconds, body bytes) per record; unit 0 for poses."""
    data = open(path, "rb").read()
    at, out = 0, []
    while at < len(data):
        sequence, seconds = np.frombuffer(data, "<u4", 1, at)[0], np.frombuffer(data, "<f8", 1, at + 4)[0]
        count = 0 if unit == 0 else int(np.frombuffer(data, "<u4", 1, at + 12)[0])
        start = at + (12 if unit == 0 else 16)
        end = at + 40 if unit == 0 else start + count * unit
        out.append((int(sequence), float(seconds), data[start:end]))
        at = end
    return out


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    root = tmp_path_factory.mktemp("rec")
    made = subprocess.run([KESTCTL, "--virtual-device", "record", "--seconds", "2", "--dir", str(root)],
                          capture_output=True, text=True, timeout=600, check=True)
    return re.search(r"recording: (\S+)\n", made.stdout).group(1)


def files(folder):
    name = os.path.basename(folder)
    return (records(f"{folder}/MT{name}.kvx", 15), records(f"{folder}/KestPose.bin", 0),
            records(f"{folder}/KestImage.bin", 1))


def test_clouds_are_read_only_views_of_the_recorded_points(recording):
    clouds, _, _ = files(recording)
    read = list(kestone.Recording(recording).clouds())
    assert len(read) == len(clouds) > 1
    for cloud, (sequence, seconds, body) in zip(read, clouds):
        want = np.frombuffer(body, CLOUD)
        assert (cloud.sequence, cloud.time) == (sequence, seconds)
        assert cloud.xyz.shape == (len(want), 3) and cloud.xyz.dtype == np.float32
        np.testing.assert_array_equal(cloud.xyz, want["xyz"])
        np.testing.assert_array_equal(cloud.rgb, want["rgb"])
        assert not cloud.xyz.flags.owndata and not cloud.xyz.flags.writeable


def test_poses_pictures_calibration_and_summary(recording):
    _, poses, images = files(recording)
    rec = kestone.Recording(recording)
    got = rec.poses()
    values = np.array([np.frombuffer(body, "<f4") for _, _, body in poses])
    np.testing.assert_array_equal(got["time"], [seconds for _, seconds, _ in poses])
    np.testing.assert_array_equal(got["values"], values)
    rotation, translation = got["matrix"][:, :3, :3], got["matrix"][:, :3, 3]
    np.testing.assert_allclose(rotation @ rotation.transpose(0, 2, 1), np.broadcast_to(np.eye(3), rotation.shape),
                               atol=1e-9)
    np.testing.assert_array_equal(translation, values[:, :3])
    # The rotation is the normalised quaternion's: its w from the trace.
    w = values[:, 6] / np.linalg.norm(values[:, 3:], axis=1)
    np.testing.assert_allclose(np.sqrt(1 + np.trace(rotation, axis1=1, axis2=2)) / 2, np.abs(w), atol=1e-6)

    assert [image["jpeg"] for image in rec.images()] == [body for _, _, body in images]
    text = open(f"{recording}/image/cam_in_ex.txt").read()
    calibration = rec.calibration()
    assert calibration["A11"] == float(re.search(r"A11: (\S+)", text).group(1))
    assert calibration["image_width"] == int(re.search(r"image_width: (\S+)", text).group(1))
    assert calibration["Tcl_0"].shape == (4, 4) and calibration["Tcl_0"][3, 3] == 1

    summary = rec.summary()
    assert summary["sound"] and summary["calibration"] == "converted" and summary["segments"] == 1
    assert summary["clouds"]["records"] == len(files(recording)[0])
    assert summary["poses"]["records"] == len(poses) and summary["images"]["records"] == len(images)


def test_the_merged_map_is_kestctl_exports(recording, tmp_path):
    clouds, _, _ = files(recording)
    xyz, rgb = kestone.Recording(recording).merged()
    every = np.concatenate([np.frombuffer(body, CLOUD) for _, _, body in clouds])
    np.testing.assert_array_equal(xyz, every["xyz"])
    np.testing.assert_array_equal(rgb, every["rgb"])

    subprocess.run([KESTCTL, "export", recording, "--merge", "--voxel", "0.05", "--out", str(tmp_path)],
                   check=True, capture_output=True, timeout=600)
    ply = open(tmp_path / "map.ply", "rb").read()
    body = np.frombuffer(ply[ply.index(b"end_header\n") + 11:], CLOUD)
    xyz, rgb = kestone.Recording(recording).merged(voxel=0.05)
    assert 0 < len(xyz) < len(every)
    np.testing.assert_array_equal(xyz, body["xyz"])
    np.testing.assert_array_equal(rgb, body["rgb"])
    with pytest.raises(ValueError, match="voxel"):
        kestone.Recording(recording).merged(voxel=-1)


def test_what_is_not_whole_raises_with_its_reason(recording, tmp_path):
    with pytest.raises(kestone.RecordingError, match="is not a recording"):
        kestone.Recording(str(tmp_path))
    with pytest.raises(kestone.RecordingError, match="does not exist"):
        kestone.Recording(str(tmp_path / "nowhere"))

    cut = tmp_path / os.path.basename(recording)
    shutil.copytree(recording, cut)
    name = cut / f"MT{cut.name}.kvx"
    whole = len(files(recording)[0])
    os.truncate(name, os.path.getsize(name) - 1)
    rec = kestone.Recording(str(cut))
    seen = []
    with pytest.raises(kestone.RecordingError, match=r"clouds: the record at byte \d+ is cut off"):
        for cloud in rec.clouds():
            seen.append(cloud)
    assert len(seen) == whole - 1, "every whole cloud comes before the error"
    with pytest.raises(kestone.RecordingError, match="cut off"):
        rec.merged(voxel=0.05)
    os.truncate(cut / "KestPose.bin", 39)
    with pytest.raises(kestone.RecordingError, match="poses: the record at byte 0 is cut off"):
        rec.poses()


def test_random_and_cut_files_never_crash_the_interpreter(recording, tmp_path):
    """Seeded garbage and cuts at every kind of place: an error or a clean read, nothing else."""
    generator = random.Random(7)
    originals = {name: open(f"{recording}/{name}", "rb").read() for name in
                 (f"MT{os.path.basename(recording)}.kvx", "KestPose.bin", "KestImage.bin")}
    folder = tmp_path / "rec"
    for attempt in range(60):
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(recording, folder)
        for name, data in originals.items():
            data = bytearray(data[:generator.randrange(len(data) + 1)])
            for _ in range(generator.randrange(8)):
                if data:
                    data[generator.randrange(len(data))] = generator.randrange(256)
            open(folder / name.replace(os.path.basename(recording), "rec"), "wb").write(bytes(data))
        rec = kestone.Recording(str(folder))
        for read in (lambda: list(rec.clouds()), rec.poses, lambda: list(rec.images()), rec.summary, rec.merged):
            try:
                read()
            except kestone.RecordingError as error:
                assert str(error), attempt
