// libnvoptix.so.1 of the emulated platform: the driver's one entry point,
// forwarding to the emulation's function tables.

#include "gpu/emulation/emu_control.h"

extern "C" __attribute__((visibility("default"))) int optixQueryFunctionTable(int abi, unsigned int num_options,
                                                                              int* option_keys,
                                                                              const void** option_values,
                                                                              void* table, size_t table_bytes) {
    return norvi_emu_optix_query_function_table(abi, num_options, option_keys, option_values, table,
                                                table_bytes);
}
