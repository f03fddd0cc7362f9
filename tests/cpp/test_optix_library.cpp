// OptiXContext where the driver library cannot be used: built twice, once
// for a machine without libnvoptix.so.1 and once for a library that lacks
// optixQueryFunctionTable (NORVI_OPTIX_LIBRARY_CASE 1 and 2).

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "gpu/emulation/emu_control.h"
#include "gpu/optix_context.h"

namespace norvi {
namespace {

std::string construction_error() {
    try {
        OptiXContext ctx(0);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "constructed";
}

#if NORVI_OPTIX_LIBRARY_CASE == 1
TEST(OptixLibraryAbsent, ConstructionFailsToInitializeOptix) {
    if (void* real = dlopen("libnvoptix.so.1", RTLD_NOW)) {
        dlclose(real);
        GTEST_SKIP() << "an OptiX driver library is installed on this machine";
    }
    norvi_emu_reset();
    EXPECT_EQ("Failed to initialize OptiX", construction_error());
    EXPECT_EQ(0, norvi_emu_live_streams());
}
#else
TEST(OptixLibraryWithoutEntryPoint, ConstructionFailsToInitializeOptix) {
    norvi_emu_reset();
    EXPECT_EQ("Failed to initialize OptiX", construction_error());
    EXPECT_EQ(0, norvi_emu_call_count("optixQueryFunctionTable"));
    EXPECT_EQ(0, norvi_emu_live_streams());
}
#endif

}  // namespace
}  // namespace norvi
