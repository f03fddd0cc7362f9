"""The Python layer: mesh files in, leaf optics, the sun, labelled results and
the files GIS and point-cloud tools read, the command line, the stubs."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import norvi_gpu as ng
from norvi import meshes, optics, results, sun

ROOT = Path(__file__).resolve().parents[2]
SUN_E, RHO = 2.0, 0.3


def _plane_scene(sensor=(0, 4, 2, 8.0, 2.0), xform=(1, 0, 0, 10, 0, 1, 0, 20, 0, 0, 1, 50)):
    """A Lambertian plane (reflectance RHO) under a sun of irradiance SUN_E, no sky."""
    s = ng.EmbreeSceneManager()
    s.upload_spectral_params(np.array([RHO, SUN_E], np.float32))
    s.add_material(0, 0)
    g = ng.make_ground_plane(100, 100)
    s.add_instance(s.add_mesh(g["vertices"], g["normals"], g["indices"], 0))
    s.set_emitter(0, sun.sun_direction(30.0, 90.0), 1)
    s.set_sensor(*sensor, np.array(list(xform) + [0, 0, 0, 1], np.float32))
    return s


def test_mesh_files_load_with_groups_normals_and_materials(tmp_path):
    trimesh = pytest.importorskip("trimesh")
    (tmp_path / "tree.mtl").write_text("newmtl leaf\nKd 0 1 0\nnewmtl bark\nKd 1 0 0\n")
    (tmp_path / "tree.obj").write_text(
        "mtllib tree.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 1\nvn 0 0 1\nvn 0.6 0 0.8\n"
        "o crown\nusemtl leaf\nf 1//1 2//1 3//1\no trunk\nusemtl bark\nf 2//2 4//2 3//2\n")
    got = {m.material: m for m in meshes.load_meshes(tmp_path / "tree.obj")}
    assert set(got) == {"leaf", "bark"}
    np.testing.assert_allclose(got["bark"].normals, [[0.6, 0, 0.8]] * 3, atol=1e-7)  # the file's normals
    assert got["leaf"].indices.dtype == np.int32 and got["leaf"].vertices.dtype == np.float32

    box = trimesh.creation.box(extents=(2, 2, 2))
    for suffix in ("ply", "stl", "glb"):
        box.export(tmp_path / f"box.{suffix}")
        (m,) = meshes.load_meshes(tmp_path / f"box.{suffix}")
        assert m.indices.shape == (12, 3) and np.abs(m.vertices).max() == 1.0
        # outward normals: every vertex normal points away from the centre
        assert np.all(np.einsum("ij,ij->i", m.normals, m.vertices) > 0)

    s = ng.EmbreeSceneManager()
    ids = meshes.add_mesh_file(s, tmp_path / "tree.obj", {"leaf": 1, None: 0})
    assert len(ids) == 2 and s.get_state()["mesh_material_ids"].tolist() in ([1, 0], [0, 1])
    with pytest.raises(KeyError, match="no material id"):
        meshes.add_mesh_file(s, tmp_path / "tree.obj", {"leaf": 1})

    (tmp_path / "points.obj").write_text("v 0 0 0\nv 1 0 0\n")
    (tmp_path / "nan.obj").write_text("v 0 0 0\nv nan 0 0\nv 0 1 0\nf 1 2 3\n")
    (tmp_path / "face.obj").write_text("v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 9\n")
    for name, message in (("points.obj", "no triangle"), ("nan.obj", "not finite"),
                          ("face.obj", "faces naming vertices it does not hold")):
        with pytest.raises(ValueError, match=message):
            meshes.load_meshes(tmp_path / name)


def _tav(alpha, n, order=200):
    """Transmissivity of the interface from air into index n for isotropic
    radiance within a cone of half-angle alpha (deg): the Fresnel power
    transmittance 1 - (R_s + R_p) / 2 weighted by cos(theta) sin(theta) over
    the cone, by Gauss-Legendre quadrature. An independent route to Stern's
    (1964) closed form, which PROSPECT evaluates."""
    x, w = np.polynomial.legendre.leggauss(order)
    a = np.radians(alpha)
    th, n = (0.5 * a * (x + 1))[:, None], np.asarray(n, np.float64)
    c, ct = np.cos(th), np.sqrt(1 - np.sin(th) ** 2 / n**2)
    fresnel = 1 - 0.5 * (((c - n * ct) / (c + n * ct)) ** 2 + ((n * c - ct) / (n * c + ct)) ** 2)
    return (0.5 * a * w) @ (fresnel * np.sin(th) * c) / (0.5 * np.sin(a) ** 2)


_K = dict(Cab="kab", Car="kcar", Cbrown="kbrown", Cw="kw", Cm="km", Ant="kant")


def _leaf(N, lib, **amounts):
    """PROSPECT's R and T written out from the published equations, on the
    library's refractive index and specific absorption coefficients (lib.nr,
    lib.kab, ...). A plate (Allen et al. 1969) of index n whose interior passes
    tau = (1 - k) e^-k + k^2 E1(k) of diffuse light, k = sum(C K) / N, is lit
    within 40 deg at the top of the leaf and 90 deg below; Stokes (1862)
    combines the N - 1 lower plates, and the top plate goes over them."""
    exp1 = pytest.importorskip("scipy.special").exp1
    n = lib.nr
    k = sum(c * getattr(lib, _K[name]) for name, c in amounts.items()) / N
    tau = (1 - k) * np.exp(-k) + k**2 * exp1(k)

    def plate(alpha):
        t12, t21 = _tav(alpha, n), _tav(90, n) / n**2
        bounce = 1 - ((1 - t21) * tau) ** 2
        return 1 - t12 + t12 * t21 * (1 - t21) * tau**2 / bounce, t12 * t21 * tau / bounce

    (ra, ta), (r, t) = plate(40), plate(90)
    d = np.sqrt((1 + r + t) * (1 + r - t) * (1 - r + t) * (1 - r - t))
    a, b = (1 + r**2 - t**2 + d) / (2 * r), (1 - r**2 + t**2 + d) / (2 * t)
    bn = b ** (N - 1)
    rs, ts = a * (bn**2 - 1) / (a**2 * bn**2 - 1), bn * (a**2 - 1) / (a**2 * bn**2 - 1)
    return ra + ta * rs * t / (1 - rs * r), ta * ts / (1 - rs * r)


def test_prospect_against_the_published_equations():
    prosail = pytest.importorskip("prosail")
    # The quadrature against closed forms: tav at normal incidence is 1 - ((n-1)/(n+1))^2,
    # and for n = 1.5 the interface reflects 0.092 of diffuse light from outside and
    # 0.596 from inside, 1 - (1 - 0.092) / n^2 (Judd 1942, J. Res. NBS 29:329).
    assert _tav(1e-3, 1.5) == pytest.approx(1 - (0.5 / 2.5) ** 2, rel=1e-9)
    assert (1 - _tav(90, 1.5), 1 - _tav(90, 1.5) / 1.5**2) == pytest.approx((0.092, 0.596), abs=5e-4)
    # A leaf with every absorber, over the whole spectrum; version 5 has no anthocyanins.
    leaf = dict(N=1.6, Cab=40.0, Car=8.0, Cbrown=0.1, Cw=0.012, Cm=0.009, Ant=1.5)
    for version, lib in (("D", prosail.spectral_lib.prospectd), ("5", prosail.spectral_lib.prospect5)):
        wl, refl, trans = optics.prospect(**leaf, version=version)
        assert wl[0] == 400 and wl[-1] == 2500 and len(wl) == 2101
        amounts = {k: v for k, v in leaf.items() if k != "N" and (k != "Ant" or version == "D")}
        r, t = _leaf(leaf["N"], lib, **amounts)
        np.testing.assert_allclose(refl, r, rtol=1e-9)
        np.testing.assert_allclose(trans, t, rtol=1e-9)
        n = lib.nr
        # No absorbers (k = 0, outside the formula above): a plate passes T = tav(a) / (1 + r21),
        # its faces reflecting r21 = 1 - tav(90)/n^2 inside. Lossless layers add (1 - T) / T
        # (Stokes): the N - 1 lower plates pass Ts = t / (t + (N - 1)(1 - t)), and the top
        # plate over them Ta Ts / (1 - (1 - t)(1 - Ts)).
        r21 = 1 - _tav(90, n) / n**2
        t_top, t = _tav(40, n) / (1 + r21), _tav(90, n) / (1 + r21)
        for N in (1.0, 2.5):
            wl, refl, trans = optics.prospect(N, 0, 0, 0, 0, 0, version=version)
            t_stack = t / (t + (N - 1) * (1 - t))
            np.testing.assert_allclose(trans, t_top * t_stack / (1 - (1 - t) * (1 - t_stack)), rtol=1e-6)
            np.testing.assert_allclose(refl + trans, 1.0, atol=1e-9)
        # An opaque plate (k >= 100 in every band): the leaf reflects what its top face
        # reflects, 1 - tav(40), and passes nothing.
        assert 100 * lib.km.min() > 100
        wl, refl, trans = optics.prospect(1.0, 0, 0, 0, 0, 100.0, version=version)
        np.testing.assert_allclose(refl, 1 - _tav(40, n), rtol=1e-9)
        assert trans.max() < 1e-30
    for bad, message in (({"N": 0.5}, "at least 1"), ({"Cab": -1.0}, "Cab"), ({"Cw": np.nan}, "Cw"),
                         ({"N": 2.0, "Cm": 100.0}, "non-finite")):  # an opaque stack overflows
        with pytest.raises(ValueError, match=message):
            optics.prospect(**{**dict(N=1.5, Cab=40, Car=8, Cbrown=0, Cw=0.01, Cm=0.009), **bad})
    wl, dry = optics.soil_spectrum(0.0)
    assert len(dry) == 2101 and 0 < dry.min() and dry.max() < 1
    with pytest.raises(ValueError, match="moisture"):
        optics.soil_spectrum(1.5)


def test_band_averaging_and_the_spectral_array():
    # A linear spectrum over a symmetric response averages to its value at the centre.
    wl, centres = np.arange(400.0, 2501.0), np.array([490.0, 665.0, 842.0])
    lin = 0.1 + 1e-4 * (wl - 400)
    bands = [optics.gaussian_response(c, 20.0) for c in centres]
    expected = 0.1 + 1e-4 * (centres - 400)
    np.testing.assert_allclose(optics.band_average(wl, lin, bands), expected)
    with pytest.raises(ValueError, match="outside"):
        optics.band_average(wl, lin, [optics.gaussian_response(2495, 20.0)])

    spec = optics.SpectralArray(3)
    leaf = spec.add_leaf(wl, lin, 0.9 - lin, bands)  # R front, R back, T
    sun_offset = spec.add(np.ones(3))
    assert (leaf, sun_offset, spec.values.size) == (0, 9, 12)
    np.testing.assert_allclose(spec.values[:9], np.concatenate([expected, expected, 0.9 - expected]), rtol=1e-6)
    with pytest.raises(ValueError, match="3 bands"):
        spec.add([1.0, 2.0])


def test_sun_position_against_the_ephemeris():
    pytest.importorskip("pvlib")
    # June solstice 2024 (declination +23.44 deg): at the equator and the Greenwich
    # meridian the sun culminates near 12:02 UTC, 23.44 deg north of the zenith.
    noon = sun.sun_position(0.0, 0.0, "2024-06-21T12:02:00", refraction=False)
    assert noon.zenith == pytest.approx(23.44, abs=0.03)
    assert noon.azimuth == pytest.approx(0.0, abs=1.0) or noon.azimuth == pytest.approx(360.0, abs=1.0)
    np.testing.assert_allclose(noon.direction, [0, np.sin(np.radians(noon.zenith)), np.cos(np.radians(noon.zenith))],
                               atol=0.02)  # +y is north
    morning = sun.sun_position(0.0, 0.0, "2024-03-20T09:00:00+00:00")
    assert morning.azimuth == pytest.approx(90.0, abs=1.0) and morning.direction[0] > 0.6  # +x is east
    s = ng.EmbreeSceneManager()
    with pytest.raises(ValueError, match="below the horizon"):
        sun.set_sun(s, 0.0, 0.0, "2024-03-20T00:00:00", 0)


def test_orthographic_image_coordinates_netcdf_and_geotiff(tmp_path):
    xr = pytest.importorskip("xarray")
    rasterio = pytest.importorskip("rasterio")
    pytest.importorskip("rioxarray")
    s = _plane_scene()
    image = np.arange(8, dtype=np.float32).reshape(2, 4, 1)
    da = results.image_to_xarray(image, s, wavelengths=[665.0])
    assert da.dims == ("y", "x", "band")
    np.testing.assert_allclose(da["x"], [7, 9, 11, 13])   # footprint 8 wide centred on x = 10
    np.testing.assert_allclose(da["y"], [19.5, 20.5])     # row 0 at the -y edge
    assert float(da["wavelength"][0]) == 665.0 and da.attrs["units"] == "radiance"

    back = xr.open_dataarray(results.to_netcdf(da, tmp_path / "img.nc"))
    xr.testing.assert_identical(back.load(), da)
    back.close()

    results.to_geotiff(da, tmp_path / "img.tif", "EPSG:32632", offset=(500000.0, 4000000.0))
    with rasterio.open(tmp_path / "img.tif") as tif:
        assert tif.crs.to_epsg() == 32632 and tif.count == 1 and tif.shape == (2, 4)
        assert tuple(tif.transform)[:6] == (2.0, 0.0, 500006.0, 0.0, -1.0, 4000021.0)
        np.testing.assert_array_equal(tif.read(1), image[::-1, :, 0])  # north-up: the +y row first


def test_forward_flux_and_lidar_results_are_labelled():
    pytest.importorskip("xarray")
    s = _plane_scene()  # no tile: the 4 x 2 cells span the 8 x 2 footprint from the origin
    s.build()
    cells = {"x": [1, 3, 5, 7], "y": [0.5, 1.5]}
    heights = [0.0, 1.0, 3.0]
    fwd = ng.simulate_forward_cpu(s, 4, 2, heights, num_photons=2000, num_brf_dirs=1, brf_directions=[0, 0, 1.0])
    fwd = results.forward_to_xarray(fwd, heights, s, [665.0])
    flux = results.flux_to_xarray(ng.simulate_flux_cpu(s, 4, 2, 2000, 1), s, [665.0])
    pulse = np.array([0.0, 0.0, 10.0], np.float32)
    lid = results.lidar_to_xarray(ng.simulate_lidar_cpu(s, pulse, np.array([0, 0, -1], np.float32), 1,
                                                        range_resolution=0.5, min_range=1.0, max_range=20.0),
                                  range_resolution=0.5, min_range=1.0)
    power = "sun irradiance unit x scene area"
    table = [  # dataset, variable, dims, units, expected coordinates
        (fwd, "grid", ("layer", "y", "x", "band"), power,
         dict(cells, layer=[0.5, 2.0], layer_bottom=[0, 1], layer_top=[1, 3], wavelength=[665])),
        (fwd, "albedo", ("band",), power, {}),
        (fwd, "brf", ("direction", "band"), power, {}),
        (flux, "downwelling", ("y", "x", "band"), power, dict(cells, wavelength=[665])),
        (flux, "upwelling", ("y", "x", "band"), power, {}),
        (lid, "waveform", ("pulse", "bin", "wavelength"), "pulse energy per bin",
         {"range": 1.25 + 0.5 * np.arange(lid.sizes["bin"])}),
    ]
    for ds, var, dims, units, coords in table:
        assert ds[var].dims == dims and ds[var].attrs["units"] == units, var
        for name, values in coords.items():
            np.testing.assert_allclose(ds[name], values, err_msg=f"{var}: {name}")
            assert ds[name].attrs.get("units") == ("nm" if name == "wavelength" else "scene units"), name
    assert fwd.sizes["layer"] == 2 and flux["downwelling"].sum() > 0  # the sun lands on the plane
    assert lid["points"].dims == ("point", "field") and list(lid["field"].values)[:3] == ["x", "y", "z"]
    np.testing.assert_allclose(lid["points"].sel(field="z"), 0.0, atol=0.3)  # returns from the plane at z = 0


def test_command_line_renders_a_scene_file(tmp_path):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("tqdm")
    import norvi

    s = _plane_scene(sensor=(0, 4, 4, 4.0, 4.0))
    norvi.save_scene(tmp_path / "plane.npz", s)  # saved unbuilt: the command builds it
    cmd = [sys.executable, "-m", "norvi", "backward", str(tmp_path / "plane.npz"), str(tmp_path / "out.nc"),
           "--spp", "2", "--wavelengths", "665"]
    run = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[-1] == str(tmp_path / "out.nc") and "2/2" in run.stderr  # the tqdm bar
    with xr.open_dataarray(tmp_path / "out.nc") as da:
        # Lambertian plane in the sun: L = rho E cos(30 deg) / pi in every pixel.
        np.testing.assert_allclose(da.values, RHO * SUN_E * np.cos(np.radians(30)) / np.pi, rtol=1e-5)
        assert da.sizes == {"y": 4, "x": 4, "band": 1}
    bad = subprocess.run(cmd[:5] + [str(tmp_path / "out.tif")], capture_output=True, text=True, timeout=120)
    assert bad.returncode == 1 and "needs --crs" in bad.stderr
    empty = subprocess.run(cmd[:-2] + ["--spp", "0"], capture_output=True, text=True, timeout=120)
    assert empty.returncode == 2 and "expected an integer of at least 1; got 0" in empty.stderr


def test_missing_extra_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "trimesh", None)  # makes "import trimesh" fail
    with pytest.raises(ImportError, match=r"norvi_gpu\[mesh\]"):
        meshes.load_meshes("tree.obj")


def test_shipped_stubs_match_the_module(tmp_path):
    pytest.importorskip("pybind11_stubgen")
    subprocess.run(["bash", str(ROOT / "scripts" / "stubs.sh"), str(tmp_path)], check=True,
                   env={"PYTHON": sys.executable, "PATH": "/usr/bin:/bin"}, timeout=300)
    for rel in ("norvi_gpu-stubs/__init__.pyi", "norvi/_parts.pyi"):
        assert (tmp_path / rel).read_text() == (ROOT / "python" / rel).read_text(), \
            f"python/{rel} is stale: run scripts/stubs.sh"
    if importlib.util.find_spec("mypy") is not None:  # the stubs are valid and the package checks against them
        check = subprocess.run([sys.executable, "-m", "mypy", "--ignore-missing-imports", "--no-incremental",
                                "-p", "norvi"], capture_output=True, text=True, cwd=tmp_path, timeout=300)
        assert check.returncode == 0, check.stdout
