# Build check of the device-program contract, run by CTest:
#   cmake -DSRC_DIR=<gpu/programs> -DPTX_DIR=<dir of the modules>
#         -DPROBE=<device_header_probe.ptx> -P check_ptx.cmake
# Every contract module that has a source must have PTX defining each of its
# entry points, for the oldest target, without 9.1-only intrinsics. The probe
# must call every intrinsic of optix_device.h with its full operand list.

include(${SRC_DIR}/contract.cmake)

set(errors)
set(checked)

function(read_ptx path out)
  if(NOT EXISTS "${path}")
    set(errors "${errors}\n  missing ${path}" PARENT_SCOPE)
    set(${out} "" PARENT_SCOPE)
    return()
  endif()
  file(READ "${path}" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

foreach(item IN LISTS NORVI_PTX_CONTRACT)
  string(REPLACE "=" ";" kv "${item}")
  list(GET kv 0 module)
  list(GET kv 1 entries)
  string(REPLACE "," ";" entries "${entries}")
  if(NOT EXISTS "${SRC_DIR}/${module}.cu")
    continue()
  endif()
  read_ptx("${PTX_DIR}/${module}.ptx" ptx)
  foreach(entry IN LISTS entries)
    string(FIND "${ptx}" ".visible .entry ${entry}(" pos)
    if(pos EQUAL -1)
      list(APPEND errors "${module}.ptx: no entry ${entry}")
    endif()
  endforeach()
  string(FIND "${ptx}" ".target sm_75" pos)
  if(pos EQUAL -1)
    list(APPEND errors "${module}.ptx: not compiled for the compute_75 virtual architecture")
  endif()
  string(FIND "${ptx}" "_optix_get_remaining_trace_depth" pos)
  if(NOT pos EQUAL -1)
    list(APPEND errors "${module}.ptx: uses an OptiX 9.1-only intrinsic")
  endif()
  list(APPEND checked "${module}(${entries})")
endforeach()

read_ptx("${PROBE}" probe)
foreach(name
    _optix_get_launch_index_x _optix_get_launch_index_y _optix_get_launch_index_z
    _optix_get_launch_dimension_x _optix_get_launch_dimension_y _optix_get_launch_dimension_z
    _optix_get_sbt_data_ptr_64 _optix_get_payload _optix_set_payload _optix_trace_typed_32
    _optix_read_primitive_idx _optix_read_instance_id _optix_read_instance_idx
    _optix_get_triangle_barycentrics _optix_get_ray_tmax
    _optix_get_world_ray_origin_x _optix_get_world_ray_origin_y _optix_get_world_ray_origin_z
    _optix_get_world_ray_direction_x _optix_get_world_ray_direction_y _optix_get_world_ray_direction_z
    _optix_get_hit_kind _optix_get_backface_from_hit_kind _optix_terminate_ray
    _optix_get_transform_list_size _optix_get_transform_list_handle _optix_get_transform_type_from_handle
    _optix_get_instance_transform_from_handle _optix_get_instance_inverse_transform_from_handle)
  string(FIND "${probe}" "${name}," pos)
  if(pos EQUAL -1)
    list(APPEND errors "probe: no call to ${name}")
  endif()
endforeach()
if(NOT probe MATCHES "call \\(([^)]*)\\), _optix_trace_typed_32, \\(([^)]*)\\);")
  list(APPEND errors "probe: no complete _optix_trace_typed_32 call")
else()
  set(out_list "${CMAKE_MATCH_1}")
  set(in_list "${CMAKE_MATCH_2}")
  string(REGEX MATCHALL "[^,]+" outs "${out_list}")
  string(REGEX MATCHALL "[^,]+" ins "${in_list}")
  list(LENGTH outs n_out)
  list(LENGTH ins n_in)
  if(NOT n_out EQUAL 32 OR NOT n_in EQUAL 49)
    list(APPEND errors "probe: trace has ${n_out} outputs and ${n_in} inputs, expected 32 and 49")
  endif()
endif()
# nvcc sees the 936-byte launch record the host asserts.
if(NOT probe MATCHES "\\.const \\.align 8 \\.b8 params\\[936\\];")
  list(APPEND errors "probe: params is not the 936-byte, 8-aligned launch record")
endif()

if(errors)
  string(REPLACE ";" "\n  " text "${errors}")
  message(FATAL_ERROR "device-program contract:\n  ${text}")
endif()
message(STATUS "device-program contract holds for: ${checked}")
