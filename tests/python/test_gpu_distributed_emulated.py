"""GPU scenes as states, pickles and files, and the GPU functions of
norvi.distributed, on the emulated GPU: round trips render the same image bit
for bit, states move between CPU and GPU scenes, bad states are refused with
nothing left allocated, and every run split into pieces gives the one-process
result, in this process and on a two-process LocalCluster.

Runs under CTest (gpu.python_emulated) on norvi_gpu_emulated; anywhere else
every test is skipped.
"""

import ctypes
import os
import pickle
import re

import numpy as np
import pytest

from norvi import distributed as nd
from norvi import load_scene, save_scene
from result_checks import assert_same, assert_same_state
from test_gpu_backward_emulated import camera, canopy, ng  # noqa: F401  (ng: the fixture)

LAYERS = np.array([0.0, 1.0, 3.0], np.float32)
VIEWS = np.array([0, 0, 1, 0.5, 0, 0.866], np.float32)


def gpu_scene(ng, ctx, sif=True):
    """The canopy with every setting a state holds, SIF spectra included. Built."""
    s = ng.SceneManager(ctx)
    canopy(ng, s)
    s.set_repetitive(2, 10.0, 10.0)
    s.set_measurement_plane(3.0)
    s.set_thermal_mode(False, [650.0, 850.0])
    s.set_sensor(0, 10, 9, 8.0, 8.0, camera(5, 5, 6))
    s.build()
    n = s.n_primitives()
    s.set_primitive_temperatures(np.linspace(280.0, 320.0, n, dtype=np.float32))
    s.set_primitive_emissivities(np.full(n, 0.95, np.float32))
    if sif:
        s.set_primitive_sif_spectra(np.linspace(0.1, 0.5, 2 * n, dtype=np.float32), 2)
    return s


def live_allocations():
    return ctypes.CDLL(os.environ["NORVI_EMU_LIB"]).norvi_emu_live_allocations()


@pytest.mark.parametrize("via", ["state", "pickle", "file"])
def test_a_gpu_scene_comes_back_and_renders_the_same_image(ng, tmp_path, via):
    ctx = ng.OptiXContext()
    s = gpu_scene(ng, ctx)
    state = s.get_state()
    assert state["format_version"] == 2 and state["n_sif_bands"] == 2 and state["built"] is True
    if via == "state":
        copy = ng.SceneManager.from_state(ctx, state)
    elif via == "pickle":  # onto a context of its own
        copy = pickle.loads(pickle.dumps(s))
        assert copy.context is copy._context and copy.context is not ctx
    else:
        copy = load_scene(save_scene(tmp_path / "gpu", s), ctx=ctx)
    assert copy.is_built() and copy.aabb() == s.aabb()
    assert_same_state(copy.get_state(), state)
    want = ng.Simulator(ctx, ng.PTX_DIR).simulate(s, spp=2)
    assert np.array_equal(ng.Simulator(copy.context, ng.PTX_DIR).simulate(copy, spp=2), want)


def test_states_move_between_cpu_and_gpu_scenes(ng, tmp_path):
    ctx = ng.OptiXContext()
    gpu = gpu_scene(ng, ctx, sif=False)
    state = gpu.get_state()
    cpu = ng.EmbreeSceneManager.from_state(state)
    assert_same_state(cpu.get_state(), state)
    back = load_scene(save_scene(tmp_path / "cpu", cpu), ctx=ctx)
    assert_same_state(back.get_state(), state)
    sim = ng.Simulator(ctx, ng.PTX_DIR)
    assert np.array_equal(sim.simulate(back, spp=2), sim.simulate(gpu, spp=2))
    # A scene whose band count was never set (0 on the GPU) stays unset.
    bare = ng.SceneManager(ctx)
    bare.add_material(0, 0)
    assert ng.SceneManager.from_state(ctx, bare.get_state()).get_state()["num_bands"] == 0


def _set(key, value):
    return lambda state: state.__setitem__(key, value)


# (change to a state of gpu_scene, target class, message)
BAD_STATES = [
    (_set("format_version", 3), "gpu",
     "'format_version' is 3; this NORVI reads versions 1 to 2 (the state comes from a newer NORVI)"),
    (lambda s: s.pop("n_sif_bands"), "gpu", "'n_sif_bands' is missing"),
    (lambda s: s["instance_mesh_ids"].__setitem__(3, 999), "gpu", "instance 3: "),
    (_set("primitive_sif_spectra", np.ones(5, np.float32)), "gpu", "primitive_sif_spectra: "),
    (_set("num_bands", 200), "gpu", "num_bands: num_bands=200 exceeds GPU limit"),
    (lambda s: None, "cpu",
     "primitive_sif_spectra: the CPU scene has no SIF emission; this state holds SIF spectra"),
]


@pytest.mark.parametrize("change,target,message", BAD_STATES)
def test_bad_states_are_refused_with_nothing_left_allocated(ng, change, target, message):
    ctx = ng.OptiXContext()
    state = gpu_scene(ng, ctx).get_state()
    change(state)
    before = live_allocations()
    with pytest.raises(ValueError) as err:
        if target == "gpu":
            ng.SceneManager.from_state(ctx, state)
        else:
            ng.EmbreeSceneManager.from_state(state)
    assert message in str(err.value)
    assert live_allocations() == before


def pulses(n):
    rng = np.random.default_rng(7)
    origins = np.column_stack([rng.uniform(1, 9, n), rng.uniform(1, 9, n), np.full(n, 8.0)])
    directions = np.column_stack([rng.normal(0, 0.05, n), rng.normal(0, 0.05, n), -np.ones(n)])
    return origins.astype(np.float32).ravel(), directions.astype(np.float32).ravel()


# (function, positional arguments, keyword arguments, chunks, whether bit for
# bit: not for sums of atomic additions, whose order the launch's threads pick)
CASES = [
    ("simulate", (2,), {}, 4, True),
    ("simulate_forward", (), dict(nx=3, ny=2, layer_heights=LAYERS, num_photons=3000, num_bands=2,
                                  per_leaf=True, brf_directions=VIEWS, num_brf_dirs=2, prob_sun=0.7,
                                  terrain_instance_id=0), 1100, False),
    ("simulate_flux", (3, 2, 3000, 2), dict(prob_sun=0.7), 1100, False),
    ("simulate_lidar", (*pulses(30), 30), dict(beam_samples_per_dim=3, max_range=12.0), 11, False),
    ("simulate_lidar", (*pulses(30), 30), dict(direct_mode=True, max_range=12.0), 11, True),
    ("run_energy_balance", (), dict(n_samples=4, sun_irradiance=800.0, sky_diffuse_radiance=50.0,
                                    sun_dir_x=0.3, sun_dir_z=0.9), 50, False),
    ("run_energy_balance_multiband", (2,), dict(n_samples=4, sun_irradiance=[800.0, 600.0],
                                                sky_diffuse_radiance=[50.0, 40.0], two_sided=False),
     50, False),
]
IDS = [c[0] + ("_direct" if c[2].get("direct_mode") else "") for c in CASES]


def one_run(ng, scene, case):
    name, args, kwargs, _, _ = CASES[case]
    return getattr(ng.Simulator(scene.context, ng.PTX_DIR), name)(scene, *args, **kwargs)


@pytest.mark.parametrize("case", range(len(CASES)), ids=IDS)
def test_gpu_pieces_in_process_equal_one_run(ng, case):
    name, args, kwargs, chunks, exact = CASES[case]
    scene = gpu_scene(ng, ng.OptiXContext())
    want = one_run(ng, scene, case)
    calls = []
    got = getattr(nd, name)(scene, *args, **kwargs, chunks=chunks, progress_bar=False,
                            progress=lambda *a: calls.append(a))
    assert_same(got, want, exact)
    assert len(calls) >= 3 and calls[-1][:2] == (len(calls), len(calls))


def test_gpu_pieces_on_a_cluster_equal_one_run(ng):
    """Workers unpickle the scene onto a context of their own."""
    distributed = pytest.importorskip("distributed")
    scene = gpu_scene(ng, ng.OptiXContext())
    cases = [0, 3]
    want = [one_run(ng, scene, c) for c in cases]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        for case, expected in zip(cases, want):
            name, args, kwargs, chunks, exact = CASES[case]
            assert_same(getattr(nd, name)(scene, *args, **kwargs, client=client, chunks=chunks,
                                          progress_bar=False), expected, exact)


def test_gpu_parts_outside_the_run_are_refused(ng):
    scene = gpu_scene(ng, ng.OptiXContext(), sif=False)
    sim = ng.Simulator(scene.context, ng.PTX_DIR)
    o, d = pulses(2)
    lidar = dict(beam_half_angle_rad=0.0005, beam_samples_per_dim=2, pulse_energy=1.0, sensor_area=0.1,
                 range_resolution=0.15, min_range=0.0, max_range=12.0, num_wavelengths=1, pulse_fwhm_ns=4.0,
                 peak_threshold=1e-8, max_returns_per_pulse=5, direct_mode=False)
    eb = dict(band_type=0, n_samples=2, sun_irradiance=800.0, sky_diffuse_radiance=0.0, sky_lw_radiance=0.0,
              sun_dir_x=0.0, sun_dir_y=0.0, sun_dir_z=1.0, two_sided=True, sw_albedos=None)
    n = scene.n_primitives()
    calls = [
        (lambda: sim._simulate_rows(scene, 1, 4, 7, 5), "simulate: row range [7, 12) lies outside the sensor's 9 rows"),
        (lambda: sim._simulate_flux_part(scene, 2, 2, 100, 2, 1.0, 0, 4, 3, None, 90, 20),
         "simulate_flux: photon range [90, 110) lies outside the run of 100 photons"),
        (lambda: sim._simulate_lidar_part(scene, o, d, 2, **lidar, first_pulse=-1), "first_pulse must be at least 0"),
        (lambda: sim._run_energy_balance_part(scene, **eb, first_primitive=n - 2, primitive_count=5),
         f"run_energy_balance: primitive range [{n - 2}, {n + 3}) lies outside the scene's {n} primitives"),
    ]
    for call, message in calls:
        with pytest.raises(ValueError, match=re.escape(message)):
            call()
