"""Hostile and careless input: no call may crash, hang, exhaust memory or give a
silent wrong answer. One table per class of fault; cases whose failure would take
the interpreter down (aborts on invalid rays, absurd allocations, endless loops)
run in a fresh interpreter."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import norvi_gpu as ng
from norvi import lidar, optics, results

# A lit, built ground plane under a nadir orthographic sensor, and ways to
# run a case in a child interpreter.
PRELUDE = """
import json, time
import numpy as np
import norvi_gpu as ng

def scene(reps=0, normals=True, build=True, material=0):
    s = ng.EmbreeSceneManager()
    g = ng.make_ground_plane(5.0, 5.0)
    s.add_material(0, 0)
    s.add_mesh(g["vertices"], g["normals"] if normals else np.zeros((4, 3)), g["indices"], material)
    s.add_instance(0, 5.0, 5.0, 0.0)
    s.upload_spectral_params(np.array([0.5, 1.0, 0.2], np.float32))
    s.set_emitter(0, [0.3, 0.0, 1.0], 1)
    s.set_sky(2)
    s.set_sensor(0, 4, 4, 10.0, 10.0, [1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 10])
    if reps:
        s.set_repetitive(reps, 10.0, 10.0)
    if build:
        s.build()
    return s
"""


def run_isolated(body, timeout=120, interrupt=False):
    """Runs body in a fresh interpreter; returns ["ok", result] or the type and
    message of what it raised. With `interrupt`, the child gets SIGINT (Ctrl-C)
    half a second after the body prints "running"."""
    code = PRELUDE + "try:\n" + textwrap.indent(textwrap.dedent(body), "    ") + """
    out = ["ok", result if "result" in dir() else None]
except BaseException as e:
    out = [type(e).__name__, str(e)]
print(json.dumps(out))
"""
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        if interrupt:
            while child.stdout.readline().strip() != "running":
                assert child.poll() is None, child.stderr.read()
            time.sleep(0.5)
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=timeout)
    finally:
        child.kill()
    assert child.returncode == 0, f"exit status {child.returncode}\n{err[-2000:]}"
    return json.loads(out.strip().splitlines()[-1])


def expect(outcome, error, message):
    assert outcome[0] == error, outcome
    assert message in outcome[1], outcome


# ---------------------------------------------------------------------------
# 1. Values that would become rays Embree refuses

@pytest.mark.parametrize("body, message", [
    ("scene(build=False).set_sensor(0, 4, 4, 10.0, 10.0, [1, 0, 0, float('nan'), 0, 1, 0, 0, 0, 0, 1, 10])",
     "set_sensor: cam_xform[3] must be finite and at most 1e+09 in magnitude; got nan"),
    ("scene(build=False).add_instance(0, 0.0, 0.0, 0.0, 1e30)",
     "add_instance: the instance transform must place its mesh within 1e+09 of the origin"),
    ("scene(build=False).add_instance_xform(0, [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0])",
     "add_instance: the instance transform must have an invertible 3x3 part"),
    ("scene(build=False).add_mesh([[0, 0, 0], [1, 0, 0], [0, 1, float('inf')]], np.zeros((0, 3)), [[0, 1, 2]])",
     "add_mesh: vertices[2] = (0, 1, inf) must be finite"),
    # Refused where it is set, so every engine gives the same error.
    ("scene().update_emitter_direction([0, float('nan'), 1])",
     "update_emitter_direction: direction must be finite; got (0, nan, 1)"),
    ("scene(build=False).set_repetitive(3, 1e20, 10.0)", "set_repetitive: scene_x_size must be finite"),
    ("ng.make_sphere(float('nan'), [0, 0, 0], 2)", "make_sphere: radius must be finite and at most 1e+09 in magnitude; got nan"),
    ("ng.simulate_lidar_cpu(scene(), [0, 0, 3e30], [0, 0, -1], 1)",
     "simulate_lidar: pulse_origins of pulse 0 must be finite with coordinates of at most 1e+09"),
])
def test_ray_values_are_refused_where_they_enter(body, message):
    expect(run_isolated(body), "ValueError", message)


def test_degenerate_normals_and_extreme_directions_trace_like_sound_ones():
    # Zero vertex normals fall back to the triangle's own; a direction whose
    # squared length underflows or overflows in single precision is normalised.
    result = run_isolated("""
        sound = ng.simulate_cpu(scene(), 4, 4)
        zero = ng.simulate_cpu(scene(normals=False), 4, 4)
        origins = [5, 5, 3, 5, 5, 3]
        lidar = [ng.simulate_lidar_cpu(scene(), origins, d, 2, direct_mode=True)["points"].tolist()
                 for d in ([0, 0, -1, 0, 0, -1], [0, 0, -1e-30, 0, 0, -3e38])]
        views = []
        for r in (1.0, 1e-25):  # a camera matrix scaled down keeps its directions
            s = scene()
            s.set_sensor(1, 4, 4, 0.0, 0.0, [r, 0, 0, 5, 0, r, 0, 5, 0, 0, r, 10], fov=40.0)
            views.append(ng.simulate_cpu(s, 2, 4))
        result = [bool(np.isfinite(zero).all()), bool(np.allclose(sound, zero)), lidar[0] == lidar[1],
                  bool(views[1].min() > 0 and np.array_equal(views[0], views[1]))]
    """)
    assert result == ["ok", [True, True, True, True]]


# ---------------------------------------------------------------------------
# 2. Engines that trust the scene

@pytest.mark.parametrize("body, message", [
    ("ng.simulate_forward_cpu(scene(material=7), layer_heights=[0.0, 1.0], num_photons=10)",
     "mesh 0 uses material_id 7, but the scene has 1 materials"),
    ("ng.simulate_flux_cpu(scene(material=-1), 2, 2, 10, 1)", "mesh 0 uses material_id -1"),
])
def test_photon_engines_check_materials(body, message):
    expect(run_isolated(body), "ValueError", message)


def test_photon_engines_read_their_own_copies_of_the_scene():
    # The callback runs between the two batches of a million photons and
    # replaces the materials and spectral array with smaller ones.
    result = run_isolated("""
        def shrink(*_):
            s.clear_for_reuse(); s.add_material(13, 0); s.upload_spectral_params([0.1]); s.build_reuse_gas()
        runs = []
        for progress in (None, shrink):
            s = scene()
            runs.append(ng.simulate_forward_cpu(s, 2, 2, [-1.0, 1.0], 1000004, progress=progress)["grid"])
            s = scene()
            runs.append(ng.simulate_flux_cpu(s, 2, 2, 1000004, 1, progress=progress)["downwelling"])
        result = [bool(np.array_equal(runs[0], runs[2])), bool(np.array_equal(runs[1], runs[3]))]
    """)
    assert result == ["ok", [True, True]]


# ---------------------------------------------------------------------------
# 3. Unbounded work: an absurd repetition count costs what a sensible one does

def test_absurd_repetition_counts_cost_no_more_than_sensible_ones():
    result = run_isolated("""
        def runs(reps):
            s = scene(reps)
            return (ng.simulate_cpu(s, 2, 4),
                    ng.simulate_flux_cpu(s, 2, 2, 2000, 1)["upwelling"],
                    ng.simulate_forward_cpu(s, 1, 1, [-1.0, 1.0], 2000, brf_directions=[0.6, 0, 0.8],
                                            num_brf_dirs=1)["brf"])
        result = [bool(np.array_equal(a, b)) for a, b in zip(runs(5), runs(2**31 - 1))]
    """, timeout=60)
    assert result == ["ok", [True, True, True]]


# ---------------------------------------------------------------------------
# 4. Unbounded memory: refused before allocating, with the size

@pytest.mark.parametrize("body, error, message", [
    ("s = scene(build=False); s.set_sensor(0, 2**31 - 1, 2**31 - 1, 1.0, 1.0, np.eye(4).ravel()); s.build()\n"
     "ng.simulate_cpu(s, 1, 1)", "MemoryError", "render_backward: the image needs"),
    ("ng.simulate_lidar_cpu(scene(), [5, 5, 3] * 10**6, [0, 0, -1] * 10**6, 10**6, max_range=1e6, range_resolution=1e-3)",
     "MemoryError", "simulate_lidar: the waveform needs"),
    ("ng.make_sphere(1.0, [0, 0, 0], 14)", "ValueError",
     "make_sphere: subdivisions 14 gives 5.36871e+09 vertices, more than 32-bit indices can address"),
    ("ng.make_cylinder(1.0, 1.0, 2**31 - 1)", "ValueError", "make_cylinder: segments 2147483647 gives"),
    ("ng.simulate_lidar_cpu(scene(), [5, 5, 3], [0, 0, -1], 1, beam_samples_per_dim=2**31 - 1)", "ValueError",
     "beam_samples_per_dim 2147483647 gives 4.61169e+18 beam grid points, more than can be counted"),
    ("import io, tempfile, zipfile, norvi\n"
     "p, b = tempfile.mkdtemp() + '/s.npz', io.BytesIO(); np.save(b, np.zeros((0, 3), np.float32))\n"
     "with zipfile.ZipFile(p, 'w') as z:\n"
     "    z.writestr('mesh_vertices.npy', b.getvalue().replace(b'(0, 3), }' + b' ' * 11, b'(100000000000, 3), }'))\n"
     "norvi.load_scene(p)", "ValueError", "field 'mesh_vertices' declares shape (100000000000, 3)"),
    ("from norvi import optics\noptics.gaussian_response(550.0, 10.0, step=1e-12)", "ValueError",
     "gaussian_response: 30 nm at steps of 1e-12 nm is more than 10,000,000 samples"),
    ("from norvi import lidar\nimport tempfile\n"
     "p = tempfile.mkdtemp() + '/b.las'; open(p, 'wb').write(b'LASF' + b'\\xff' * 400)\nlidar.read_las(p)",
     "ValueError", "counts 4294967295 variable length records, more than the file's 404 bytes hold"),
    ("import norvi.distributed as nd\n"
     "nd.simulate_flux_cpu(scene(), 1, 1, 2**31 - 1, 1, chunks=1, progress_bar=False)", "ValueError",
     "chunks 1 splits 2147483647 items into 2147483647 pieces, more than 1000000; give chunks of at least 2148"),
    # Direct mode fills no waveform: one that could not fit is a zero view of its shape.
    ("w = ng.simulate_lidar_cpu(scene(), [5, 5, 3] * 100, [0, 0, -1] * 100, 100, max_range=1e6,\n"
     "                          range_resolution=1e-3, direct_mode=True)['waveform']\n"
     "result = [w.shape[0], w.shape[1] > 9e8, w.shape[2], w.strides, float(w[99, -1, 0])]",
     "ok", [100, True, 1, [0, 0, 0], 0.0]),
])
def test_requests_beyond_memory_are_refused(body, error, message):
    outcome = run_isolated(body)
    if error == "ok":
        assert outcome == ["ok", message]
    else:
        expect(outcome, error, message)


# ---------------------------------------------------------------------------
# 5. Silent wrong answers

@pytest.mark.parametrize("call, error, message", [
    (lambda s: s.add_mesh(np.eye(3), np.zeros((0, 3)), np.array([[0, 1, 2**32 + 2]])),
     ValueError, "add_mesh: indices must hold 32-bit integers; got 4294967298"),
    (lambda s: (s.set_sensor(0, 4, 4, 0.0, 0.0, np.eye(4).ravel()),
                ng.simulate_forward_cpu(s, layer_heights=[0.0, 1.0], num_photons=10)),
     ValueError, "render_forward: the scene's horizontal extent is unknown (0 x 0)"),
    (lambda s: ng.simulate_forward_cpu(s, layer_heights=[0.0, 1.0, 1.0], num_photons=0),
     ValueError, "layer_heights must be finite and strictly increasing; got layer_heights[2] = 1 after 1"),
    (lambda s: ng.simulate_forward_cpu(s, layer_heights=[0.0, 1.0], num_photons=0,
                                       brf_directions=[0, 0, 0], num_brf_dirs=1),
     ValueError, "render_forward: view direction 0 must be a finite, non-zero direction; got (0, 0, 0)"),
    (lambda s: s.set_thermal_mode(True, [10000.0, 0.0]),
     ValueError, "set_thermal_mode: wavelengths[1] must be a finite wavelength above 0 nm; got 0"),
    (lambda s: ng.simulate_lidar_cpu(s, [0, 0, 5], [0, 0, -1], 1, range_resolution=float("inf")),
     ValueError, "range_resolution must be finite and above 0; got inf"),
    (lambda s: ng.simulate_lidar_cpu(s, [0, 0, 5], [0, 0, -1], 1, beam_half_angle_rad=2.0),
     ValueError, "beam_half_angle_rad must lie in [0, pi/2) radians; got 2"),
    (lambda s: ng.simulate_lidar_cpu(s, [0, 0, 5], [0, 0, -1], 1, num_wavelengths=2),
     ValueError, "num_wavelengths must lie between 1 and the scene's band count 1; got 2"),
    (lambda s: s.set_num_bands(0), ValueError, "set_num_bands: the band count must be at least 1; got 0"),
    (lambda s: s.upload_spectral_params([0.5, float("nan")]), ValueError,
     "upload_spectral_params: values[1] must be finite; got nan"),
    (lambda s: ng.EmbreeSceneManager.from_state({**s.get_state(), "sensor_type": 1, "sensor_fov": 4.0}),
     ValueError, "sensor_fov 4.000000 (radians) must lie in (0, pi) for a perspective sensor"),
    (lambda s: optics.soil_spectrum(0.5, brightness=float("nan")), ValueError,
     "soil brightness must be finite and not negative; got nan"),
    (lambda s: optics.band_average([400.0, 500.0, 600.0], [0.1, float("nan"), 0.3], [([450.0, 550.0], [1.0, 1.0])]),
     ValueError, "wavelengths and spectrum must hold finite values"),
    (lambda s: lidar.write_las(np.zeros((0, 8)), "never-written.las", coordinate_scale=0.0), ValueError,
     "coordinate_scale must be finite and above 0; got 0.0"),
    (lambda s: results.to_geotiff(results.image_to_xarray(np.zeros((2, 2, 1))), "never-written.tif", "EPSG:32632",
                                  offset=(float("nan"), 0.0)), ValueError, "offset must be two finite numbers"),
    (lambda s: ng.simulate_microwave_cpu(s, material_map=np.array([0, 2**32])),
     ValueError, "material_map must hold 32-bit integers; got 4294967296"),
    (lambda s: ng.run_energy_balance_cpu(s, 0, 4, float("nan")),
     ValueError, "run_energy_balance: sun_irradiance = nan must be finite"),
    (lambda s: ng.run_energy_balance_multiband_cpu(s, 2, 4, [800.0, 600.0], [50.0, float("inf")]),
     ValueError, "run_energy_balance_multiband: sky_diffuse_radiance[1] = inf must be finite"),
])
def test_values_that_would_give_silent_wrong_answers_are_refused(ground_scene, call, error, message):
    with pytest.raises(error) as e:
        call(ground_scene)
    assert message in str(e.value)


def test_a_pulse_narrower_than_float_precision_convolves_as_one_tap(ground_scene):
    # Both pulses are far narrower than a range bin; the second one's squared
    # width underflows in single precision.
    waves = [ng.simulate_lidar_cpu(ground_scene, [0, 0, 5], [0, 0, -1], 1, pulse_fwhm_ns=w)["waveform"]
             for w in (1e-3, 1e-30)]
    assert np.array_equal(waves[0], waves[1]) and waves[0].sum() > 0


def test_view_directions_are_normalised_and_new_instances_need_a_build(ground_scene):
    s = ground_scene
    s.set_emitter(0, [0, 0, 1], 0)
    brf = [ng.simulate_forward_cpu(s, layer_heights=[-1.0, 1.0], num_photons=500, brf_directions=d,
                                   num_brf_dirs=1)["brf"] for d in ([0, 0, 1], [0, 0, 7])]
    assert np.array_equal(brf[0], brf[1]) and brf[0].sum() > 0
    s.add_instance(0, 0.0, 0.0, 1.0)
    assert not s.is_built()
    s.build_reuse_gas()  # the new instance is traced: a full build
    point = ng.simulate_lidar_cpu(s, [0, 0, 5], [0, 0, -1], 1, direct_mode=True)["points"][0]
    assert s.is_built() and point[6] == pytest.approx(4.0)


# Integer arguments are Python or NumPy integers within 32 bits (64 for
# primitive ranges) on every back end: anything else is refused naming the function and the argument, and the
# scene is left as it was. One table for both back ends; each back end runs in
# a child interpreter (the CPU module and the emulated GPU one cannot share a
# process), the GPU one only under CTest, on the platform emulation.

BOTH = ("cpu", "gpu")
BAD_SCALARS = [
    # (back ends, call on a built ground scene s with runner r, error, message);
    # r is the module on the CPU and a Simulator on the GPU.
    (BOTH, "s.set_num_bands(1.0)", "TypeError", "set_num_bands: arg0 must be an integer; got 1.0 (float)"),
    (BOTH, "s.set_sky(True)", "TypeError", "set_sky: spectral_offset must be an integer; got True (bool)"),
    (BOTH, "s.add_instance(np.int64(2**31))", "ValueError",
     "add_instance: mesh_id must fit in a 32-bit integer (-2147483648 to 2147483647); got 2147483648"),
    (BOTH, "s.set_sensor(1, 4, 4, 0.0, 0.0, np.eye(4).ravel(), fov=180.0)", "ValueError",
     "set_sensor: fov must lie in (0, 180) degrees for a perspective sensor; got 180.0"),
    (BOTH, "s.set_sensor(0, 4, 4, 4.0, 4.0, np.full(16, np.nan))", "ValueError",
     "set_sensor: cam_xform[0] must be finite"),
    (("cpu",), "r.make_cylinder(1.0, 1.0, np.float32(3.5))", "TypeError",
     "make_cylinder: segments must be an integer; got 3.5 (numpy.float32)"),
    (("cpu",), "r.simulate_lidar_cpu(s, [0, 0, 5], [0, 0, -1], -2**31 - 1)", "ValueError",
     "simulate_lidar_cpu: num_pulses must fit in a 32-bit integer"),
    (("cpu",), "importlib.import_module('norvi._parts').simulate_cpu(s, 1, row_count=2**40)", "ValueError",
     "simulate_cpu: row_count must fit in a 32-bit integer"),
    (("cpu",), "importlib.import_module('norvi._parts').run_energy_balance_cpu(s, first_primitive=2**63)",
     "ValueError", "run_energy_balance_cpu: first_primitive must fit in a 64-bit integer"),
    (("cpu",), "r.OptiXContext(device_id='0')", "TypeError", "OptiXContext: device_id must be an integer; got 0 (str)"),
    (("gpu",), "r.simulate(s, spp=2.5)", "TypeError", "simulate: spp must be an integer; got 2.5 (float)"),
    (("gpu",), "r.simulate_flux(s, 1, 1, 2**31, 1)", "ValueError",
     "simulate_flux: num_photons must fit in a 32-bit integer"),
    (("gpu",), "r.run_energy_balance(s, 0, n_samples=1e3)", "TypeError",
     "run_energy_balance: n_samples must be an integer; got 1000.0 (float)"),
]

BACKEND_CHILD = """
import ctypes, importlib, json, os, sys
import numpy as np
gpu = sys.argv[1] == "gpu"
ng = importlib.import_module("norvi_gpu_emulated" if gpu else "norvi_gpu")

def ground(s):
    g = ng.make_ground_plane(10.0, 10.0)
    s.set_num_bands(1)
    s.add_material(0, 0)
    s.add_instance(s.add_mesh(g["vertices"], g["normals"], g["indices"], 0))
    s.upload_spectral_params(np.array([0.5], np.float32))
    s.set_sensor(0, 4, 4, 20.0, 20.0, [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 10])
    s.build()
    return s

out = []
for call in json.loads(sys.argv[2]):
    if gpu:
        ctx = ng.OptiXContext()
        s, r = ground(ng.SceneManager(ctx)), ng.Simulator(ctx, ng.PTX_DIR)
        render = lambda: r.simulate(s, spp=1)
    else:
        s, r = ground(ng.EmbreeSceneManager()), ng
        render = lambda: ng.simulate_cpu(s, 1, 1)
    try:
        exec(call, {"s": s, "r": r, "np": np, "importlib": importlib})
        outcome = ["no error", ""]
    except Exception as e:
        outcome = [type(e).__name__, str(e)]
    image = render()  # the scene is left as it was
    out.append(outcome + [image.shape == (4, 4, 1) and bool(np.isfinite(image).all())])
    del s, r, render, image
    ctx = None
leaked = gpu and ctypes.CDLL(os.environ["NORVI_EMU_LIB"]).norvi_emu_live_allocations() != 0
print(json.dumps([out, leaked]))
"""


@pytest.mark.parametrize("backend", BOTH)
def test_bad_scalars_are_refused_naming_the_argument(backend):
    if backend == "gpu" and not os.environ.get("NORVI_EMU_LIB"):
        pytest.skip("runs under CTest on the platform emulation (NORVI_EMU_LIB unset)")
    cases = [case for case in BAD_SCALARS if backend in case[0]]
    child = subprocess.run([sys.executable, "-c", BACKEND_CHILD, backend, json.dumps([c[1] for c in cases])],
                           capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, child.stderr[-2000:]
    outcomes, leaked = json.loads(child.stdout.strip().splitlines()[-1])
    for (_, call, error, message), (kind, text, usable) in zip(cases, outcomes):
        assert kind == error and message in text and usable, (call, kind, text, usable)
    assert not leaked  # a refused call frees what it allocated


# ---------------------------------------------------------------------------
# 6. Ctrl-C stops a long run at the next pass or batch

SOIL = [[0.2, 0.4, 0.2, 1.4, 295.0, 0.0, 0.0, 0.0, 0.0, 1]]


# Each run would take hours: a child that is not stopped times out.
@pytest.mark.parametrize("setup, call", [
    ("", "ng.simulate_cpu(s, 10**8, 4)"),
    ("", "ng.simulate_forward_cpu(s, layer_heights=[-1.0, 1.0], num_photons=2**31 - 1)"),
    ("", "ng.simulate_flux_cpu(s, 2, 2, 2**31 - 1, 1)"),
    ("", "ng.simulate_lidar_cpu(s, [5, 5, 3] * 10**5, [0, 0, -1] * 10**5, 10**5, beam_samples_per_dim=100, "
         "max_range=10.0, range_resolution=1.0)"),
    ("s = scene(build=False); s.set_sensor(0, 64, 10**4, 10.0, 10.0, [1, 0, 0, 5, 0, 1, 0, 5, 0, 0, 1, 10]); "
     "s.build()", f"ng.simulate_microwave_cpu(s, spp=2**14, mw_soil_params={SOIL}, material_map=[0])"),
    ("s = scene(build=False); g = ng.make_sphere(1.0, [5, 5, 2], 7); "
     "s.add_instance(s.add_mesh(g['vertices'], g['normals'], g['indices'], 0)); s.build()",
     "ng.run_energy_balance_cpu(s, 0, 2**12, 1000.0)"),
])
def test_ctrl_c_interrupts_a_long_run_and_leaves_the_scene_usable(setup, call):
    result = run_isolated(f"""
        s = scene()
        {setup}
        print("running", flush=True)
        try:
            {call}
            result = "ran to the end"
        except KeyboardInterrupt:
            image = ng.simulate_cpu(s, 1, 1)
            result = [image.shape[2], bool(np.isfinite(image).all())]
    """, timeout=60, interrupt=True)
    assert result == ["ok", [1, True]]


# ---------------------------------------------------------------------------
# 7. A conversion that runs out of memory says so

@pytest.mark.parametrize("call", [
    lambda s: s.upload_spectral_params(np.broadcast_to(np.float64(1.0), (10**13,))),
    lambda s: s.add_mesh(np.broadcast_to(np.float64(1.0), (10**13, 3)), np.zeros((0, 3)), [[0, 0, 0]]),
])
def test_out_of_memory_while_converting_is_a_memory_error(call):
    with pytest.raises(MemoryError, match="Unable to allocate"):
        call(ng.EmbreeSceneManager())
