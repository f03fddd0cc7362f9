"""norvi.distributed: every simulation split into pieces gives the one-process
result, in this process and on a two-process LocalCluster, also when a worker
dies mid-run; a failing piece surfaces its error."""

import os
import signal
import subprocess
import sys

import numpy as np
import pytest

import norvi_gpu as ng
from norvi import distributed as nd

from conftest import build_feature_scene
from result_checks import assert_same

LAYERS = np.array([0.0, 1.0, 2.5, 5.0], np.float32)
VIEWS = np.array([0, 0, 1, 0.5, 0, 0.866], np.float32)


def pulses(n):
    rng = np.random.default_rng(7)
    origins = np.column_stack([rng.uniform(0, 10, n), rng.uniform(0, 10, n), np.full(n, 30.0)])
    directions = np.column_stack([rng.normal(0, 0.05, n), rng.normal(0, 0.05, n), -np.ones(n)])
    return origins.astype(np.float32).ravel(), directions.astype(np.float32).ravel()


# (name, positional arguments, keyword arguments, chunks, whether bit for bit)
CASES = [
    ("simulate_cpu", (2,), {}, 3, True),
    ("simulate_forward_cpu", (), dict(nx=4, ny=3, layer_heights=LAYERS, num_photons=30000, num_bands=2,
                                      per_leaf=True, brf_directions=VIEWS, num_brf_dirs=2,
                                      prob_sun=0.7, terrain_instance_id=0), 7000, False),
    ("simulate_flux_cpu", (5, 4, 30000, 2), dict(prob_sun=0.7), 7000, False),
    ("simulate_lidar_cpu", (*pulses(400), 400), dict(min_range=20.0, max_range=35.0), 90, True),
    ("simulate_lidar_cpu", (*pulses(400), 400), dict(direct_mode=True), 90, True),
    ("run_energy_balance_cpu", (), dict(n_samples=8, sun_irradiance=800.0, sky_diffuse_radiance=50.0,
                                        sun_dir_x=0.3, sun_dir_z=0.9,
                                        sw_albedos=np.linspace(0.1, 0.4, 254, dtype=np.float32)), 60, True),
    ("run_energy_balance_multiband_cpu", (2,), dict(n_samples=8, sun_irradiance=[800.0, 600.0],
                                                    sky_diffuse_radiance=[50.0, 40.0], two_sided=False),
     60, True),
]
IDS = [c[0] + ("_direct" if c[2].get("direct_mode") else "") for c in CASES]


@pytest.fixture(scope="module")
def scene():
    return build_feature_scene()


@pytest.fixture(scope="module")
def reference(scene):
    return {i: getattr(ng, c[0])(scene, *c[1], **c[2]) for i, c in enumerate(CASES)}


@pytest.mark.parametrize("case", range(len(CASES)), ids=IDS)
def test_pieces_in_process_equal_one_run(scene, reference, case):
    name, args, kwargs, chunks, exact = CASES[case]
    calls = []
    got = getattr(nd, name)(scene, *args, **kwargs, chunks=chunks, progress_bar=False,
                            progress=lambda *a: calls.append(a))
    assert_same(got, reference[case], exact)
    assert [c[:2] for c in calls] == [(i, len(calls)) for i in range(1, len(calls) + 1)]
    assert len(calls) >= 4


def test_parts_outside_the_run_are_refused(scene):
    from norvi import _parts
    o, d = pulses(2)
    calls = [
        (lambda: _parts.simulate_cpu(scene, 1, first_row=10, row_count=5),
         "render_backward: row range [10, 15) lies outside the sensor's 14 rows"),
        (lambda: _parts.simulate_flux_cpu(scene, 2, 2, 100, 2, first_photon=90, photon_count=20),
         "render_flux: photon range [90, 110) lies outside the run of 100 photons"),
        (lambda: _parts.simulate_lidar_cpu(scene, o, d, 2, first_pulse=-1),
         "simulate_lidar: first_pulse must be at least 0"),
        (lambda: _parts.run_energy_balance_cpu(scene, first_primitive=250, primitive_count=5),
         "run_energy_balance: primitive range [250, 255) lies outside the scene's 254 primitives"),
    ]
    for call, message in calls:
        with pytest.raises(ValueError) as err:
            call()
        assert message in str(err.value)


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, env={"NORVI_NUM_THREADS": "1"})
    with cluster, distributed.Client(cluster) as c:
        yield c


@pytest.mark.parametrize("case", range(len(CASES)), ids=IDS)
def test_pieces_on_a_cluster_equal_one_run(scene, reference, client, case):
    name, args, kwargs, chunks, exact = CASES[case]
    got = getattr(nd, name)(scene, *args, **kwargs, client=client, chunks=chunks)
    assert_same(got, reference[case], exact)


def test_a_failing_piece_surfaces_its_error(scene, client):
    with pytest.raises(RuntimeError, match="layer_heights must have at least 2 entries"):
        nd.simulate_forward_cpu(scene, layer_heights=[0.0], num_photons=1000, num_bands=2,
                                client=client, chunks=100)
    with pytest.raises(ValueError, match="chunks must be a positive integer"):
        nd.simulate_cpu(scene, chunks=0)


def test_a_worker_killed_mid_run_has_its_piece_run_again(scene, client):
    want = ng.simulate_cpu(scene, 300)
    pids = client.run(os.getpid)
    killed = []

    def kill_a_busy_worker(done, total, ms):
        busy = [w for w, keys in client.processing().items() if keys]
        if not killed and busy:
            os.kill(pids[busy[0]], signal.SIGKILL)
            killed.append(busy[0])

    got = nd.simulate_cpu(scene, 300, client=client, chunks=1, progress=kill_a_busy_worker)
    assert killed and np.array_equal(got, want)
    client.wait_for_workers(2, timeout=60)


def test_without_a_client_dask_is_never_imported():
    code = ("import sys, norvi.distributed as nd; from conftest import build_feature_scene; "
            "nd.simulate_cpu(build_feature_scene(), 1, chunks=4, progress_bar=False); "
            "assert not {'dask', 'distributed'} & set(sys.modules), sorted(sys.modules)")
    subprocess.run([sys.executable, "-c", code], check=True, cwd=os.path.dirname(__file__))
