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
]
IDS = [c[0] + ("_direct" if c[2].get("direct_mode") else "") for c in CASES]


def assert_same(got, want, exact):
    if isinstance(want, dict):
        assert got.keys() == want.keys()
        for key in want:
            assert_same(got[key], want[key], exact)
    elif exact:
        assert np.array_equal(got, want)
    else:  # float32 tallies summed in another order
        np.testing.assert_allclose(got, want, rtol=2e-6, atol=1e-6 * np.abs(want).max())


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
