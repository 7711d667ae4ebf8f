"""Files are written whole or not at all: errors and Ctrl-C (once and twice, at many points of a save) in a subprocess
leave the old file, the new one, or none, never a torn one or a temporary file; the exit status says which."""
import os
import stat

import pytest

from vrexsdk._files import SaveInterrupted, open_replacing, replacing

# The child records two recordings, then saves the second over the first again and again, sending itself SIGINT at
# the k-th (and k+gap-th) interpreter event of the save: Python's handler runs at the next event, so the signals
# land everywhere in the save, from the first line to the rename and after.
CHILD = r"""
import json, os, signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)  # even when the suite runs with SIGINT ignored
from vrexsdk import vrex
from vrexsdk.cli import main
from vrexsdk.record import Recording, SaveInterrupted, load, record

KIND, KILLS, FOLDER = sys.argv[1], int(sys.argv[2]), sys.argv[3]
path = os.path.join(FOLDER, "out." + ("png" if KIND == "png" else KIND.split("-")[-1]))
device = vrex.Device()
device.open(device.enumerate()[0].connectionString)
old, new = (record(device, "0:tpx3-dd-toa-tot", blocks=n) for n in (2, 3))
device.close()
device.finalize()

def save(rec):
    if KIND == "png":
        rec.save_png(path)
    else:
        rec.save(path)

def contents():
    # What a reader finds: None (no file), or which recording (load fails on a torn file).
    if not os.path.exists(path):
        return None
    if KIND == "png":
        data = open(path, "rb").read()
        return {references["old"]: "old", references["new"]: "new"}.get(data, "torn")
    return {2: "old", 3: "new"}.get(load(path).blocks, "torn")

references = {}
for name, rec in (("old", old), ("new", new)):
    save(rec)
    references[name] = open(path, "rb").read()

armed = [()]
if KIND.startswith("cli"):
    # The command saves `new` as what record() returned; the signals start once it reports the acquisition.
    import vrexsdk.record
    vrexsdk.record.record = lambda *args, **kwargs: new
    summary = Recording.summary
    def reported(self):
        events(armed[0])
        return summary(self)
    Recording.summary = reported
    def attempt():
        return main(["acquire", "--mode", "0:tpx3-dd-toa-tot", "--blocks", "3", "--output", path])
else:
    def attempt():
        events(armed[0])
        try:
            save(new)
        except SaveInterrupted as e:
            return "saved" if e.saved else "abandoned"
        except KeyboardInterrupt:
            return "interrupted"
        return "done"

count, live = [0], [()]
def events(limit):
    count[0], live[0] = 0, limit
    def hook(frame, event, arg):
        count[0] += 1
        if count[0] in live[0]:
            os.kill(os.getpid(), signal.SIGINT)
    sys.setprofile(hook)

def disarm():  # no signal from the call that removes the hook itself
    live[0] = ()
    sys.setprofile(None)

attempt()
disarm()
total = count[0]
results = []
for i, k in enumerate(sorted({1 + total * j // 40 for j in range(40)})):
    if i % 2 and os.path.exists(path):
        os.unlink(path)
    else:
        save(old)
    before = contents()
    kills = {k} if KILLS == 1 else {k, k + 1 + (i * 7) % 60}
    armed[0] = kills
    try:
        outcome = attempt()
        disarm()
    except KeyboardInterrupt:  # a signal landing after the save, in the child's own bookkeeping
        outcome = "late"
    disarm()
    leftovers = sorted(set(os.listdir(FOLDER)) - {os.path.basename(path)})
    results.append([k, before, outcome, contents(), leftovers])
print(json.dumps(results))
"""


@pytest.mark.parametrize("kills", [1, 2])
@pytest.mark.parametrize("kind", ["npz", "h5", "png", "cli-npz", "cli-h5"])
def test_ctrl_c_during_a_save_leaves_the_file_whole_or_as_it_was(tmp_path, kind, kills):
    import json
    import subprocess
    import sys

    proc = subprocess.run([sys.executable, "-c", CHILD, kind, str(kills), str(tmp_path)], capture_output=True,
                          text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    results = json.loads(proc.stdout.splitlines()[-1])  # the command prints its own lines before
    # What each outcome means for the file: a completed save or a 130 status mean the new file; an abandoned one
    # or status 1 the file as it was before.
    means = {"saved": "new", "done": "new", 130: "new", 0: "new", "abandoned": "before", 1: "before"}
    for k, before, outcome, after, leftovers in results:
        assert leftovers == [], (k, leftovers)
        assert after in ("new", before), (k, outcome, after)
        if outcome in means:
            assert after == ("new" if means[outcome] == "new" else before), (k, outcome, after)
        else:
            assert outcome in ("interrupted", "late"), outcome
    outcomes = {outcome for _, _, outcome, _, _ in results}
    if kind.startswith("cli"):
        # One Ctrl-C in the save still saves (130); of two, the second usually lands in the save too and abandons it.
        assert outcomes - {"late"} <= {0, 1, 130} and (130 if kills == 1 else 1) in outcomes
    elif kills == 1:
        assert "saved" in outcomes and "abandoned" not in outcomes  # one Ctrl-C waits for the file
    else:
        assert "abandoned" in outcomes


class Boom(Exception):
    pass


@pytest.mark.parametrize("existing", [None, b"old contents"])
def test_a_failing_writer_leaves_the_file_as_it_was(tmp_path, existing):
    target = tmp_path / "file.bin"
    if existing is not None:
        target.write_bytes(existing)
    with pytest.raises(Boom):
        with open_replacing(target) as f:
            f.write(b"half")
            raise Boom
    assert (target.read_bytes() if target.exists() else None) == existing
    assert os.listdir(tmp_path) == ([] if existing is None else ["file.bin"])


def test_replacing_keeps_the_permissions_of_the_file_it_replaces(tmp_path):
    target = tmp_path / "file.bin"
    target.write_bytes(b"old")
    os.chmod(target, 0o640)
    with replacing(target) as temporary:
        with open(temporary, "wb") as f:
            f.write(b"new")
    assert target.read_bytes() == b"new" and stat.S_IMODE(os.stat(target).st_mode) == 0o640
    umask = os.umask(0)
    os.umask(umask)
    with open_replacing(tmp_path / "fresh.txt", "w") as f:
        f.write("x")
    assert stat.S_IMODE(os.stat(tmp_path / "fresh.txt").st_mode) == 0o666 & ~umask


@pytest.mark.parametrize("special", ["/dev/null", "fifo", "link"])
def test_devices_and_pipes_are_written_in_place_and_links_followed(tmp_path, special):
    import threading

    path, read = os.path.join(tmp_path, special), []
    if special == "fifo":
        os.mkfifo(path)
        reader = threading.Thread(target=lambda: read.append(open(path, "rb").read()))
        reader.start()
    elif special == "link":
        (tmp_path / "data.bin").write_bytes(b"old")
        os.symlink("data.bin", path)
    else:
        path = special
    with open_replacing(path) as f:
        f.write(b"new")
    if special == "fifo":
        reader.join(30)
        assert read == [b"new"] and stat.S_ISFIFO(os.stat(path).st_mode)
    elif special == "link":
        assert os.readlink(path) == "data.bin" and (tmp_path / "data.bin").read_bytes() == b"new"
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert sorted(os.listdir(tmp_path)) == {"fifo": ["fifo"], "link": ["data.bin", "link"], "/dev/null": []}[special]


@pytest.mark.parametrize("call, error", [
    (lambda p: open_replacing(p, "r"), ValueError),
    (lambda p: open_replacing(p, "ab"), ValueError),
    (lambda p: replacing(b"bytes-name"), TypeError),
    (lambda p: replacing(p / "missing" / "file"), FileNotFoundError),
])
def test_bad_arguments_are_refused(tmp_path, call, error):
    with pytest.raises(error):
        with call(tmp_path):
            pass


def test_save_interrupted_is_a_keyboard_interrupt():
    e = SaveInterrupted("run.npz", saved=False)
    assert isinstance(e, KeyboardInterrupt) and not e.saved and "run.npz" in str(e)
