"""The simulated detector's physics: generated data answer to every control as a detector's would."""

import numpy as np
import pytest

from vrexsdk import errors, simulator
from vrexsdk.chip import BinningParams
from vrexsdk.record import record


@pytest.fixture(autouse=True)
def fresh(sim):
    yield


def configure(kind="tpx3", **acquisition):
    simulator.configure({"devices": [{"kind": kind, "acquisition": acquisition}]})


def collect(device, mode, channel="ch0"):
    """Every block of one acquisition, copied."""
    if not device.isOpened():
        device.open(device.enumerate()[0].connectionString)
    device.chip.selectMode(mode)
    blocks = []
    device.acq.setDataCallback(channel, lambda first, *rest: blocks.append(first.copy()))
    device.acq.begin(channel)
    device.acq.end(channel)
    return blocks


def expected_tot(params, address, kev):
    y, x = address // 256, address % 256
    a, b, c, t = (params[k][y, x].astype(float) for k in "abct")
    return a * kev + b - c / (kev - t)


# ---- length and pacing ----------------------------------------------------------------------------------------------

@pytest.mark.parametrize("shutter, blocks", [(None, 50), (0.02, 20)])
def test_a_hit_mode_run_lasts_its_acquisition_time_in_blocks_of_the_hit_rate(device, shutter, blocks):
    configure(duration_s=0.05, hit_rate=1e5, hits=100, seed=1)
    device.open(device.enumerate()[0].connectionString)
    if shutter is not None:
        device.trigger.setShutterDuration(shutter)
    assert len(collect(device, "0:tpx3-dd-toa-tot")) == blocks  # one block of 100 hits per ms


def test_record_runs_acquisitions_back_to_back_until_it_has_what_it_asked_for(device):
    configure(duration_s=0.01, hit_rate=1e5, hits=100)  # 10 blocks per acquisition
    device.open(device.enumerate()[0].connectionString)
    rec = record(device, "0:tpx3-dd-toa-tot", blocks=35)
    assert rec.blocks == 35 and rec.metadata["acquisitions"] == 4


def test_a_frame_mode_run_delivers_its_frame_count(device):
    configure("tpx", frame_count=6, frames=2, frame_rate=1000.0)
    assert [len(f) for f in collect(device, "0:tpx-medipix")] == [2 * 65536] * 3


# ---- frames --------------------------------------------------------------------------------------------------------

def test_frame_counts_are_poisson_and_scale_with_the_shutter_duration(device):
    configure("tpx", block_count=1, frames=8, seed=3)
    device.open(device.enumerate()[0].connectionString)
    params = simulator.pixel_parameters()
    live = ~(params["dead"] | params["noisy"])
    means = {}
    for shutter in (0.01, 0.05):
        device.trigger.setShutterDuration(shutter)
        [frames] = collect(device, "0:tpx-medipix")
        counts = frames.reshape(8, 256, 256)[:, live].astype(float)
        means[shutter] = counts.mean()
        # 80 counts per pixel per second; the variance of a Poisson count is its mean (0.5 M samples: 1 %)
        assert counts.mean() == pytest.approx(80 * shutter, rel=0.02)
        assert counts.var() == pytest.approx(counts.mean(), rel=0.03)
        assert not frames.reshape(8, 256, 256)[:, params["dead"]].any()
    assert means[0.05] / means[0.01] == pytest.approx(5, rel=0.03)


# ---- thresholds ------------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("set_kev, kev, raw", [(True, 10.0, 1200), (True, 2.5, 1050), (False, 1300, 15.0)],
                         ids=["keV up", "keV down", "raw"])
def test_the_kev_and_raw_thresholds_are_one_quantity(opened, set_kev, kev, raw):
    if set_kev:
        opened.chip.setThreshold("THL0", kev)
        assert opened.chip.getRawThreshold("THL0") == raw
    else:
        opened.chip.setRawThreshold("THL0", kev)
        assert opened.chip.getThreshold("THL0") == pytest.approx(raw)


def test_the_data_follow_the_raw_threshold_across_the_noise_edge(device):
    configure(block_count=1, hits=2000, seed=5)
    counts = []
    device.open(device.enumerate()[0].connectionString)
    for raw in (1000, 1100, 1200):  # 0, 5 and 10 keV: in the noise, the model's threshold, above it
        device.chip.setRawThreshold("THL0", raw)
        [block] = collect(device, "0:tpx3-dd-toa-tot")
        counts.append(len(block))
    assert counts[0] > 10 * counts[1] and counts[1] == 2000 and counts[2] < counts[1]


# ---- ToT, ToA and the pixels ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("kev", [10.0, 30.0, 59.5])
def test_single_pixel_photons_give_the_pixel_curve_of_their_energy(kev):
    simulator.configure({"devices": [{"acquisition": {"source": {"lines_kev": [kev]}}}]})
    hits, particle = simulator.generate_hits(20000, seed=1)
    params = simulator.pixel_parameters()
    sizes = np.bincount(particle[particle >= 0])
    single = (particle >= 0) & (sizes[np.maximum(particle, 0)] == 1)
    deviation = hits["tot"][single] - expected_tot(params, hits["address"][single], kev)
    # A photon whose neighbours got shares below the threshold lost them: the ToT falls short of the curve more
    # often than not, but never beyond it by more than the resolution (3.3 % of the energy, 1 sigma, and rounding).
    sigma = 1.6 * 0.033 * kev + 0.5
    assert np.median(deviation) < 0 and -1 - sigma < np.percentile(deviation, 95) < 1 + sigma
    assert np.percentile(deviation, 99) < 1 + 3 * sigma


def test_a_lower_tot_arrives_later_by_its_time_walk():
    hits, particle = simulator.generate_hits(20000, seed=2)
    pairs = [np.flatnonzero(particle == p) for p in np.unique(particle[particle >= 0])]
    pairs = [p for p in pairs if len(p) == 2 and abs(int(hits["tot"][p[0]]) - int(hits["tot"][p[1]])) > 20]
    later = [hits["toa"][p[np.argmin(hits["tot"][p])]] >= hits["toa"][p[np.argmax(hits["tot"][p])]] for p in pairs]
    assert len(pairs) > 200 and np.mean(later) > 0.95


@pytest.mark.parametrize("share", [0.0, 0.01, 1.0])
def test_the_share_of_dead_pixels_is_the_models(share):
    noisy = simulator.pixel_parameters()["noisy"]
    simulator.configure({"devices": [{"acquisition": {"dead_pixels": share}}]})
    params = simulator.pixel_parameters()
    assert abs(params["dead"].mean() - share) < 0.002
    assert (params["noisy"] == (noisy & ~params["dead"])).all()  # the same noisy pixels, unless dead


@pytest.mark.parametrize("share", [-0.1, 1.5, float("nan")])
def test_a_share_of_dead_pixels_outside_0_to_1_is_refused(share):
    simulator.configure({"devices": [{"acquisition": {"dead_pixels": share}}]})
    with pytest.raises(ValueError, match="dead_pixels must be a share from 0 to 1"):
        simulator.generate_hits(10)


def test_dead_pixels_never_fire_and_noisy_ones_fire_on_their_own():
    params = simulator.pixel_parameters()
    assert params["dead"].sum() > 20 and params["noisy"].sum() > 10 and not (params["dead"] & params["noisy"]).any()
    hits, particle = simulator.generate_hits(200000, seed=3)
    fired = np.bincount(hits["address"], minlength=65536).reshape(256, 256)
    assert not fired[params["dead"]].any()
    noise = hits["address"][particle < 0]
    assert np.isin(noise, np.flatnonzero(params["noisy"].ravel())).mean() > 0.9  # noise far above the edge: theirs


@pytest.mark.parametrize("kind", ["photon", "electron", "mip", "alpha"])
def test_generated_hits_come_from_separate_particles_in_read_out_order(kind):
    hits, particle = simulator.generate_hits(30000, seed=4, particles={kind: 1.0})
    assert len(hits) == len(particle) == 30000
    toa = hits["toa"].astype(np.int64)
    assert np.all(toa >= np.maximum.accumulate(toa) - simulator.READOUT_JITTER_TICKS)  # late by the jitter at most
    ids = particle[particle >= 0]
    first = np.full(ids.max() + 1, np.iinfo(np.int64).max)
    last = np.zeros(ids.max() + 1, dtype=np.int64)
    np.minimum.at(first, ids, toa[particle >= 0])
    np.maximum.at(last, ids, toa[particle >= 0])
    assert np.all(first[1:] - last[:-1] > 1000)  # particles follow each other, microseconds apart
    sizes = np.bincount(ids)
    assert {"photon": sizes.max() <= 4, "electron": sizes.mean() > 2, "mip": sizes.mean() > 8,
            "alpha": sizes.mean() > 15}[kind]


@pytest.mark.parametrize("seed, same", [(7, True), (None, False)])
def test_runs_repeat_only_with_a_fixed_seed(device, seed, same):
    configure(block_count=1, seed=seed)
    first = collect(device, "0:tpx3-dd-toa-tot")[0]
    assert np.array_equal(first, collect(device, "0:tpx3-dd-toa-tot")[0]) == same


# ---- temperature ---------------------------------------------------------------------------------------------------

def test_a_warmer_chip_moves_the_noise_edge_up(device):
    simulator.configure({"devices": [{
        "thresholds": [{"id": "THL0", "kev": 5.0, "min": 2.0, "max": 60.0, "noise": 4.0, "raw": 1100,
                        "raw_max": 4095, "raw_per_kev": 20.0}],
        "cooling": [{"id": "peltier", "actual": 24.5, "desired": 20.0, "min": -10.0, "max": 40.0,
                     "time_constant_s": 0.0}],
        "acquisition": {"block_count": 1, "hits": 1000, "seed": 1}}]})
    device.open(device.enumerate()[0].connectionString)
    device.chip.setThreshold("THL0", 4.5)
    counts = []
    for desired in (24.5, 40.0):  # the model's temperature, then 15.5 degrees warmer
        device.cooling.setDesiredTemperature("peltier", desired)
        counts.append(len(collect(device, "0:tpx3-dd-toa-tot")[0]))
    assert counts[1] > 2 * counts[0]


# ---- refusals --------------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("width, height", [(300, 300), (257, 1), (0, 4)])
def test_a_binning_that_does_not_fit_the_matrix_is_refused(opened, width, height):
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match="does not fit the 256 x 256 pixel matrix"):
        opened.chip.selectMode("0:tpx3-binned-packets", BinningParams(width, height, 1000))
    opened.chip.selectMode("0:tpx3-binned-packets", BinningParams(256, 256, 1000))


@pytest.mark.parametrize("settings, match", [
    ({"hit_rate": 0.0}, "hit_rate"), ({"duration_s": float("nan")}, "duration_s"), ({"flux": -1.0}, "flux"),
    ({"source": {"lines_kev": [], "beam_kev": 0.0}}, "source"),
])
def test_a_generator_without_a_sound_rate_or_source_is_refused_at_begin(device, settings, match):
    configure(**settings)
    with pytest.raises(errors.VrexSdkInvalidArgumentError, match=match):
        collect(device, "0:tpx3-dd-toa-tot")


@pytest.mark.parametrize("call, exc, match", [
    (lambda: simulator.generate_hits(10, 1), TypeError, "1 positional argument"),
    (lambda: simulator.generate_hits(-1), OverflowError, "negative"),
    (lambda: simulator.generate_hits(2**40), ValueError, "more than one block"),
    (lambda: simulator.generate_hits(10, particles={"muon": 1.0}), ValueError, "unknown key 'muon'"),
    (lambda: simulator.pixel_parameters(3), ValueError, "chip 3 out of range"),
])
def test_ground_truth_calls_reject_bad_arguments(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


def test_a_pool_of_blocks_is_delivered_in_turn_with_time_moving_on(device):
    configure(block_count=6, hits=500, seed=2, pool=2)
    blocks = collect(device, "0:tpx3-dd-toa-tot")
    assert len(blocks) == 6 and all(np.array_equal(b["address"], blocks[i % 2]["address"]) for i, b in enumerate(blocks))
    starts = [int(b["toa"].min()) for b in blocks]
    assert starts == sorted(starts) and starts[2] - starts[0] == starts[4] - starts[2] == 2 * 2**24  # one pass
    assert all(np.array_equal(b["toa"] - blocks[i % 2]["toa"], np.full(500, (i // 2) * 2 * 2**24, np.uint64))
               for i, b in enumerate(blocks))
