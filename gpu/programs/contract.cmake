# The device-program contract: each PTX module (file <module>.ptx) and the
# entry points the host looks up in it. Read by CMakeLists.txt and by the
# build check (check_ptx.cmake).
set(NORVI_PTX_CONTRACT
  "raygen_backward=__raygen__backward"
  "raygen_forward=__raygen__forward"
  "raygen_flux=__raygen__flux"
  "raygen_lidar=__raygen__lidar"
  "miss=__miss__radiance,__miss__shadow"
  "closesthit=__closesthit__radiance,__closesthit__shadow"
  "raygen_passive=__raygen__passive_mw"
  "miss_mw=__miss__mw_radiance"
  "closesthit_mw=__closesthit__mw_radiance"
  "raygen_eb_rrt=__raygen__eb_rrt,__raygen__eb_rrt_multiband,__miss__eb_rrt,__closesthit__eb_rrt"
)
