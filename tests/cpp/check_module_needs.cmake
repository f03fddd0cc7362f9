# Build check, run by CTest: the installed module must load where the NVIDIA
# driver, or the CUDA toolkit, is missing. So it may not name the CUDA runtime
# or driver library among its dynamic dependencies (the runtime is linked
# statically and finds the driver itself when a GPU exists).
#   cmake -DOBJDUMP=<objdump> -DMODULE=<norvi_gpu...so> -P check_module_needs.cmake

execute_process(COMMAND ${OBJDUMP} -p ${MODULE} OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump could not read ${MODULE}")
endif()
string(REGEX MATCHALL "NEEDED +[^\n]+" needed "${headers}")
if(NOT needed)
  message(FATAL_ERROR "no dynamic dependencies read from ${MODULE}")
endif()
foreach(entry IN LISTS needed)
  if(entry MATCHES "libcuda|libcudart|libnvoptix|libnvrtc")
    message(FATAL_ERROR "${MODULE} needs a CUDA library at load time: ${entry}")
  endif()
endforeach()
message(STATUS "module dependencies: ${needed}")
