# GPU host code: records and per-primitive derivation need no toolkit; the
# context runs on the platform emulation (gpu/emulation), which stands in for
# the CUDA runtime and, through the run path, for libnvoptix.so.1. The run
# path is written as DT_RPATH, which dlopen searches before LD_LIBRARY_PATH,
# so a real driver library on that path cannot replace the emulated one.
norvi_add_test(test_gpu_records test_device_records.cpp test_primitive_buffers.cpp)
target_link_libraries(test_gpu_records PRIVATE norvi_gpu_host)
if(NORVI_HAS_CUDA)
  # A test program on the platform emulation; with an OptiX library folder,
  # that folder's emulated driver library comes first on the run path.
  function(norvi_add_emu_test name optix_dir)
    norvi_add_test(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE norvi_gpu_host norvi_platform_emu)
    if(optix_dir)
      target_link_options(${name} PRIVATE -Wl,--disable-new-dtags)
      set_property(TARGET ${name} APPEND PROPERTY BUILD_RPATH ${optix_dir})
    endif()
  endfunction()

  norvi_add_emu_test(test_gpu_context ${NORVI_EMU_OPTIX_DIR} test_optix_context.cpp test_optix_abi.cpp)
  add_dependencies(test_gpu_context norvi_fake_nvoptix)

  # The emulated GPU itself, with test programs of its own: PTX by nvcc for
  # module creation, host build for the launches.
  set(_emu_test_src ${CMAKE_CURRENT_SOURCE_DIR}/emu_test_programs.cu)
  set(_emu_test_ptx ${CMAKE_CURRENT_BINARY_DIR}/emu_test_programs.ptx)
  norvi_compile_ptx(${_emu_test_src} ${_emu_test_ptx})
  add_custom_target(norvi_emu_test_ptx DEPENDS ${_emu_test_ptx})
  norvi_host_program(emu_test_programs ${_emu_test_src})
  norvi_add_emu_test(test_gpu_scene_simulator ${NORVI_EMU_OPTIX_DIR} test_gpu_scene_simulator.cpp)
  target_compile_definitions(test_gpu_scene_simulator PRIVATE NORVI_PTX_DIR="${NORVI_PTX_DIR}")
  add_dependencies(test_gpu_scene_simulator norvi_fake_nvoptix norvi_ptx norvi_emu_programs)

  norvi_add_emu_test(test_emulated_gpu ${NORVI_EMU_OPTIX_DIR} test_emulated_gpu.cpp)
  target_compile_definitions(test_emulated_gpu PRIVATE NORVI_EMU_TEST_PTX="${_emu_test_ptx}")
  add_dependencies(test_emulated_gpu norvi_fake_nvoptix norvi_emu_test_ptx norvi_emu_programs)

  # The driver library absent, and one without its entry point.
  norvi_add_emu_test(test_gpu_optix_absent "" test_optix_library.cpp)
  target_compile_definitions(test_gpu_optix_absent PRIVATE NORVI_OPTIX_LIBRARY_CASE=1)
  norvi_add_emu_test(test_gpu_optix_broken ${NORVI_EMU_BROKEN_OPTIX_DIR} test_optix_library.cpp)
  target_compile_definitions(test_gpu_optix_broken PRIVATE NORVI_OPTIX_LIBRARY_CASE=2)
  add_dependencies(test_gpu_optix_broken norvi_fake_nvoptix_broken)

  # The module loads without the CUDA toolkit or the NVIDIA driver.
  if(TARGET norvi_gpu)
    add_test(NAME gpu.module_needs_no_cuda_library
      COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DMODULE=$<TARGET_FILE:norvi_gpu>
              -P ${CMAKE_CURRENT_SOURCE_DIR}/check_module_needs.cmake)
  endif()

  # The PTX modules built so far define every entry point the contract names.
  add_test(NAME gpu.ptx_contract
    COMMAND ${CMAKE_COMMAND} -DSRC_DIR=${PROJECT_SOURCE_DIR}/gpu/programs -DPTX_DIR=${NORVI_PTX_DIR}
            -DPROBE=${NORVI_PTX_PROBE} -P ${PROJECT_SOURCE_DIR}/gpu/programs/check_ptx.cmake)
endif()
if(TARGET norvi_gpu_emulated)
  # The GPU bindings on the emulated platform (bindings/CMakeLists.txt).
  add_test(NAME gpu.python_emulated
    COMMAND ${NORVI_TEST_PYTHON} -m pytest -q -p no:cacheprovider --noconftest
            ${PROJECT_SOURCE_DIR}/tests/python/test_gpu_context_emulated.py
            ${PROJECT_SOURCE_DIR}/tests/python/test_gpu_backward_emulated.py
            ${PROJECT_SOURCE_DIR}/tests/python/test_gpu_forward_emulated.py
            ${PROJECT_SOURCE_DIR}/tests/python/test_gpu_microwave_emulated.py
            ${PROJECT_SOURCE_DIR}/tests/python/test_energy_balance_emulated.py
            ${PROJECT_SOURCE_DIR}/tests/python/test_gpu_distributed_emulated.py
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
  set_tests_properties(gpu.python_emulated PROPERTIES ENVIRONMENT
    "PYTHONPATH=${PROJECT_BINARY_DIR}/emu/python;NORVI_EMU_LIB=$<TARGET_FILE:norvi_platform_emu>")
  # The bad-input table shared by both back ends (its GPU cases need the emulation).
  add_test(NAME gpu.python_hardening_emulated
    COMMAND ${NORVI_TEST_PYTHON} -m pytest -q -p no:cacheprovider
            ${PROJECT_SOURCE_DIR}/tests/python/test_hardening.py -k bad_scalars
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
  set_tests_properties(gpu.python_hardening_emulated PROPERTIES ENVIRONMENT
    "PYTHONPATH=${PROJECT_BINARY_DIR}/emu/python;NORVI_EMU_LIB=$<TARGET_FILE:norvi_platform_emu>")
endif()
