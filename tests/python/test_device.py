"""kestone.open against the virtual KestOne: every kind of frame arrives in
order, SLAM points land on the virtual room, the iteration ends as asked, on
unplug and on Ctrl-C, and a device that cannot be opened says why."""
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import pytest

# The attach sequence keeps the device's calibration file in the per-user data
# folder, which the handler names once per process: a scratch one here.
os.environ["XDG_DATA_HOME"] = tempfile.mkdtemp(prefix="kestone-data-")

import kestone  # noqa: E402

# The room is 6 x 4 x 3 m around the origin, floor at 0; its north window looks
# onto a facade 12 m north, 30 m wide and 5 m high.
ROOM_LOW, ROOM_HIGH = np.array([-3.0, -2.0, 0.0]), np.array([3.0, 2.0, 3.0])
# Range noise of 2 mm a point (five sigma), and the engine's millimetre.
CLOSE = 5 * 0.002 + 0.002
STILL = {"clouds_before_wiwc": 0, "range_noise": 0.002, "range_noise_per_m": 0}


def take(dev, **until):
    frames = {}
    for frame in dev.frames(**until):
        frames.setdefault(frame.kind, []).append(frame)
    return frames


def test_every_kind_of_frame_arrives_in_time_order_and_slam_points_land_on_the_room():
    with kestone.open(virtual="demo", settings=STILL) as dev:
        frames = take(dev, seconds=3)
        room = dev.virtual_room_pose()
        dev.scan_mode = "dtof"
        dtof = [f for f in dev.frames(count=40) if f.kind == "dtof"]
    assert {"slam", "pose", "image"} <= frames.keys() and "dtof" not in frames
    for kind, of_kind in frames.items():
        times = [f.time for f in of_kind]
        assert times == sorted(times) and times[0] > 0, kind

    for cloud in frames["slam"]:
        assert cloud.xyz.dtype == np.float32 and cloud.xyz.shape[1] == 3 and len(cloud.xyz) > 100
        assert cloud.rgb.shape == cloud.xyz.shape and cloud.intensity is None
        assert not cloud.xyz.flags.writeable and not cloud.xyz.flags.owndata
        xyz = cloud.xyz @ room[:3, :3].T + room[:3, 3]
        inside = np.all((xyz > ROOM_LOW - CLOSE) & (xyz < ROOM_HIGH + CLOSE), axis=1)
        facade = (np.abs(xyz[:, 1] - 12.0) < CLOSE) & (xyz[:, 2] < 5 + CLOSE)
        assert np.all(inside | facade), cloud
        to_a_wall = np.minimum(np.abs(xyz - ROOM_LOW), np.abs(xyz - ROOM_HIGH)).min(axis=1)
        assert np.mean(to_a_wall < CLOSE) > 0.5, "most of what is seen is wall, floor and ceiling"
        assert len(set(cloud.label.tolist())) == 1

    for pose in frames["pose"]:
        rotation = pose.pose[:3, :3]
        np.testing.assert_allclose(rotation @ rotation.T, np.eye(3), atol=1e-9)
        np.testing.assert_array_equal(pose.pose[3], [0, 0, 0, 1])
        position = room[:3, :3] @ pose.pose[:3, 3] + room[:3, 3]
        assert np.all((position > ROOM_LOW) & (position < ROOM_HIGH)), "the device stays in the room"
    for picture in frames["image"]:
        assert picture.image.shape == (480, 640, 3) and picture.image.dtype == np.uint8
        assert picture.xyz is None and picture.pose is None

    assert dtof, "depth frames once the scan mode is dtof"
    for depth in dtof:
        assert len(depth.xyz) > 1000 and depth.label.shape == depth.intensity.shape == (len(depth.xyz),)
        np.testing.assert_array_equal(depth.rgb[:, 0], depth.intensity)
        ranges = np.linalg.norm(depth.xyz, axis=1)
        assert np.all((ranges > 0.05) & (ranges < 20)), "in the room or through its window"


def test_info_names_the_versions_serial_and_calibration_file():
    with kestone.open(virtual="tidy") as dev:
        info = dev.info()
    assert info["virtual"] and info["preset"] == "tidy" and info["scan_mode"] == "slam"
    assert info["versions"]["soc_app"] == "2.4.1" and len(info["versions"]["iq_md5"]) == 32
    assert info["serial"] == "KO1-2611-000417"
    assert info["calibration"].startswith(os.environ["XDG_DATA_HOME"])
    assert os.path.getsize(info["calibration"]) > 0


def test_iteration_ends_after_its_count_or_seconds_and_waits_without_the_gil():
    with kestone.open(virtual="demo") as dev:
        assert len(list(dev.frames(count=7))) == 7
        started = time.monotonic()
        list(dev.frames(seconds=0.5))
        assert time.monotonic() - started < 30
    ticks = []
    ticker = threading.Thread(target=lambda: [ticks.append(time.sleep(0.01)) for _ in range(100)])
    # No stream at all: the second is spent waiting.
    quiet = {key: 0 for key in ("cloud_hz", "hf_odometry_hz", "image_hz", "dtof_hz")}
    with kestone.open(virtual="demo", settings=quiet) as dev:
        ticker.start()
        assert list(dev.frames(seconds=1)) == []
    ticker.join()
    assert len(ticks) > 20, "the ticker ran while the script waited for frames"


def test_unplug_ends_the_iteration_with_an_exception_that_says_so():
    with kestone.open(virtual="demo") as dev:
        with pytest.raises(kestone.DeviceUnplugged, match="unplugged"):
            for number, _ in enumerate(dev.frames(seconds=60)):
                if number == 3:
                    dev.unplug()
        with pytest.raises(kestone.DeviceUnplugged):
            dev.frames(count=1)
    assert dev.closed
    with pytest.raises(kestone.DeviceError, match="closed"):
        dev.frames(count=1)


def test_a_device_that_cannot_be_opened_says_why():
    hints = {"access": "udev rule 70-kestone.rules", "busy": "another program holds it"}
    for refusal, hint in hints.items():
        with pytest.raises(kestone.DeviceError, match=hint):
            kestone.open(virtual="demo", settings={"open_refused": refusal})
    with pytest.raises(kestone.DeviceError):
        kestone.open(timeout=0.5)  # no KestOne on USB here
    for wrong in ({"virtual": "nope"}, {"virtual": "demo", "settings": ["cloud_hz=fast"]},
                  {"virtual": "demo", "mode": "radar"}, {"settings": {"cloud_hz": 1}}):
        with pytest.raises(ValueError):
            kestone.open(**wrong)
    with kestone.open(virtual="tidy"):
        with pytest.raises(kestone.DeviceError, match="already open"):
            kestone.open(virtual="tidy")


def test_ctrl_c_stops_the_iteration_and_the_device_closes():
    script = (
        "import kestone\n"
        "dev = kestone.open(virtual='demo')\n"
        "try:\n"
        "    for number, frame in enumerate(dev.frames()):\n"
        "        if number == 0: print('streaming', flush=True)\n"
        "except KeyboardInterrupt:\n"
        "    dev.close()\n"
        "    print('interrupted', dev.closed, flush=True)\n")
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "streaming\n"
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    assert out == "interrupted True\n" and child.returncode == 0


def test_the_streaming_example_saves_what_it_saw_as_a_ply(tmp_path):
    example = os.path.join(os.path.dirname(__file__), "../../python/examples/stream_to_ply.py")
    made = subprocess.run([sys.executable, example, "tidy", str(tmp_path / "s.ply")], cwd=tmp_path,
                          capture_output=True, text=True, timeout=300, check=True)
    saved = int(made.stdout.split()[-4])
    import open3d as o3d
    cloud = o3d.io.read_point_cloud(str(tmp_path / "s.ply"))
    assert saved > 1000 and len(cloud.points) == saved
    assert np.asarray(cloud.colors).max() > 0.1
    assert os.listdir(tmp_path) == ["s.ply"], "nothing else written where it ran"
