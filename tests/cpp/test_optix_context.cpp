// OptiXContext on the emulated platform: the construction steps in order,
// every failure and its message, release on failure and on destruction, the
// accessors, the log callback and device_info. (The message forms of the
// error-check helpers are pinned by every failure label in
// test_gpu_scene_simulator.cpp.)

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "gpu/device_info.h"
#include "gpu/optix_context.h"
#include "gpu_emu_fixture.h"

namespace norvi {
namespace {

using test::runtime_error_of;
using Context = test::EmulatedPlatform;

constexpr int kInvalidValue = 7001;

TEST_F(Context, OpensTheDeviceInTheSpecifiedSteps) {
    norvi_emu_clear_devices();
    norvi_emu_add_device("First", 4ull << 30, 1ull << 30, 7, 5);
    norvi_emu_add_device("Second GPU", 80ull << 30, 79ull << 30, 9, 0);
    {
        OptiXContext ctx(1);
        EXPECT_EQ("Second GPU", ctx.device_name());
        EXPECT_EQ(81920u, ctx.total_vram_mb());
        EXPECT_EQ(80896u, ctx.free_vram_mb());
        EXPECT_EQ(9, ctx.compute_capability_major());
        EXPECT_EQ(0, ctx.compute_capability_minor());
        EXPECT_EQ(1, ctx.device_id());
        EXPECT_EQ(118, ctx.optix_abi());
        EXPECT_NE(nullptr, ctx.stream());
        EXPECT_NE(nullptr, ctx.optix_context());
        EXPECT_EQ(1, norvi_emu_current_device());
        EXPECT_EQ(1, norvi_emu_live_streams());
        EXPECT_EQ(1, norvi_emu_optix_live_contexts());

        int level = 0, has_cb = 0, has_data = 1;
        unsigned int validation = 99;
        ASSERT_EQ(1, norvi_emu_optix_last_context_options(&level, &validation, &has_cb, &has_data));
        EXPECT_EQ(3, level);
        EXPECT_EQ(0u, validation);
        EXPECT_EQ(1, has_cb);
        EXPECT_EQ(0, has_data);
    }
    // Destruction: the OptiX context first, then the stream.
    const std::vector<std::string> expected = {
        "cudaSetDevice 1",         "cudaGetDeviceProperties 1", "cudaStreamCreate",
        "optixQueryFunctionTable 118 480", "optixDeviceContextCreate", "cudaGetDevice", "cudaMemGetInfo",
        "optixDeviceContextDestroy", "cudaStreamDestroy"};
    EXPECT_EQ(expected, trace());
    EXPECT_EQ(0, norvi_emu_live_streams());
    EXPECT_EQ(0, norvi_emu_optix_live_contexts());
}

// Each failed step gives its message, releases what was made before it and
// makes no later call; only a table the driver refuses as such is asked again
// for the older ABI.
TEST_F(Context, EveryConstructionFailureHasItsMessageAndLeavesNothing) {
    struct Case {
        std::function<void()> arrange;
        int device;
        std::string message;
        const char* not_reached;
        int queries;  // optixQueryFunctionTable calls
    };
    const std::string ordinal = "Failed to set CUDA device: invalid device ordinal";
    const Case cases[] = {
        {[] {}, 1, ordinal, "cudaStreamCreate", 0},
        {[] {}, -1, ordinal, "cudaStreamCreate", 0},
        {[] { norvi_emu_fail_call("cudaSetDevice", 1, 35); }, 0,  // no usable driver
         "Failed to set CUDA device: CUDA driver version is insufficient for CUDA runtime version",
         "cudaStreamCreate", 0},
        {[] { norvi_emu_clear_devices(); }, 0, "Failed to set CUDA device: no CUDA-capable device is detected",
         "cudaStreamCreate", 0},
        {[] { norvi_emu_fail_call("cudaStreamCreate", 1, 2); }, 0, "Failed to create CUDA stream",
         "optixQueryFunctionTable", 0},
        {[] { norvi_emu_optix_grant_abis(0, 0); }, 0, "Failed to initialize OptiX", "optixDeviceContextCreate", 2},
        {[] { norvi_emu_fail_call("optixQueryFunctionTable", 1, 7990); }, 0,  // internal error: no second try
         "Failed to initialize OptiX", "optixDeviceContextCreate", 1},
        {[] { norvi_emu_fail_call("optixDeviceContextCreate", 1, kInvalidValue); }, 0,
         "Failed to create OptiX device context", "optixDeviceContextDestroy", 1},
    };
    for (const Case& c : cases) {
        norvi_emu_reset();
        c.arrange();
        EXPECT_EQ(c.message, runtime_error_of([&] { OptiXContext ctx(c.device); }));
        EXPECT_EQ(0, norvi_emu_call_count(c.not_reached)) << c.message;
        EXPECT_EQ(c.queries, norvi_emu_call_count("optixQueryFunctionTable")) << c.message;
        EXPECT_EQ(0, norvi_emu_live_streams()) << c.message;
        EXPECT_EQ(0, norvi_emu_optix_live_contexts()) << c.message;
    }
}

TEST_F(Context, FallsBackToAbi105WhenTheDriverRefuses118OrItsTable) {
    norvi_emu_optix_grant_abis(105, 0);
    {
        OptiXContext ctx(0);
        EXPECT_EQ(105, ctx.optix_abi());
        const std::vector<std::string> t = trace();
        const std::vector<std::string> queries(t.begin() + 3, t.begin() + 5);
        EXPECT_EQ((std::vector<std::string>{"optixQueryFunctionTable 118 480", "optixQueryFunctionTable 105 416"}),
                  queries);
        EXPECT_EQ(1, norvi_emu_optix_live_contexts());
    }
    norvi_emu_reset();
    norvi_emu_fail_call("optixQueryFunctionTable", 1, 7802);  // table size mismatch for 118
    OptiXContext ctx(0);
    EXPECT_EQ(105, ctx.optix_abi());
    EXPECT_EQ(2, norvi_emu_call_count("optixQueryFunctionTable"));
}

TEST_F(Context, ContextsCoexistAndOutliveAFailedConstruction) {
    auto first = std::make_unique<OptiXContext>(0);
    {
        OptiXContext second(0);
        EXPECT_NE(first->stream(), second.stream());
        EXPECT_NE(first->optix_context(), second.optix_context());
        EXPECT_EQ(2, norvi_emu_optix_live_contexts());
    }
    norvi_emu_optix_grant_abis(0, 0);
    EXPECT_EQ("Failed to initialize OptiX", runtime_error_of([] { OptiXContext c(0); }));
    // The process-wide table still serves the first context.
    EXPECT_EQ(118, first->optix_abi());
    first.reset();
    EXPECT_EQ(2, norvi_emu_call_count("optixDeviceContextDestroy"));
    EXPECT_EQ(0, norvi_emu_optix_live_contexts());
    EXPECT_EQ(0, norvi_emu_live_streams());
}

TEST_F(Context, DestructorIgnoresReleaseErrors) {
    {
        OptiXContext ctx(0);
        norvi_emu_fail_call("optixDeviceContextDestroy", 1, kInvalidValue);
        norvi_emu_fail_call("cudaStreamDestroy", 1, 400);
    }
    // Both releases were attempted, in order, and nothing escaped.
    const std::vector<std::string> t = trace();
    ASSERT_GE(t.size(), 2u);
    EXPECT_EQ("optixDeviceContextDestroy", t[t.size() - 2]);
    EXPECT_EQ("cudaStreamDestroy", t.back());
}

// Memory in whole mebibytes rounded down, free memory that of the context's
// own device (or 0 when unreadable), unreadable properties as an empty name
// and zeros.
TEST_F(Context, MemoryAndPropertiesAreThoseOfTheContextsOwnDeviceOrZero) {
    norvi_emu_clear_devices();
    norvi_emu_add_device("8 GiB", 8ull << 30, (3ull << 20) - 1, 8, 6);
    norvi_emu_add_device("8 GiB + almost 1 MiB", (8ull << 30) + (1ull << 20) - 1, 5ull << 30, 8, 6);
    norvi_emu_add_device("8 GiB - 1 byte", (8ull << 30) - 1, 0, 8, 6);
    OptiXContext a(0);
    OptiXContext b(1);  // makes device 1 current
    EXPECT_EQ(8192u, a.total_vram_mb());
    EXPECT_EQ(2u, a.free_vram_mb());
    EXPECT_EQ(1, norvi_emu_current_device());
    EXPECT_EQ(8192u, b.total_vram_mb());
    EXPECT_EQ(5120u, b.free_vram_mb());
    EXPECT_EQ(8191u, OptiXContext(2).total_vram_mb());

    norvi_emu_fail_call("cudaSetDevice", 1, 101);
    EXPECT_EQ(0u, a.free_vram_mb());  // cannot reach device 0: no answer rather than device 1's
    norvi_emu_fail_call("cudaMemGetInfo", 1, 999);
    EXPECT_EQ(0u, b.free_vram_mb());

    norvi_emu_fail_call("cudaGetDeviceProperties", 1, 999);
    OptiXContext c(0);
    EXPECT_EQ("", c.device_name());
    EXPECT_EQ(0u, c.total_vram_mb());
    EXPECT_EQ(0, c.compute_capability_major());
    EXPECT_EQ(0, c.compute_capability_minor());
}

// Through a context, the callback gets levels up to 3 and prints fatal and
// error lines only; called directly, it tolerates missing text.
TEST_F(Context, LogPrintsFatalAndErrorLinesOnly) {
    OptiXContext ctx(0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, norvi_emu_optix_log(1, "FATAL", "device lost"));
    EXPECT_EQ(1, norvi_emu_optix_log(2, "ERROR", "bad input"));
    EXPECT_EQ(1, norvi_emu_optix_log(3, "WARNING", "slow path"));  // delivered, not printed
    EXPECT_EQ(0, norvi_emu_optix_log(4, "PRINT", "hello"));        // above the callback level
    optix_log_callback(7, "X", "dropped", nullptr);
    optix_log_callback(2, nullptr, nullptr, nullptr);
    optix_log_callback(1, "COMPILER", "line one\nline two", nullptr);
    EXPECT_EQ("[OptiX][FATAL] device lost\n[OptiX][ERROR] bad input\n[OptiX][] \n[OptiX][COMPILER] line one\nline two\n",
              testing::internal::GetCapturedStderr());
}

TEST_F(Context, DeviceInfoDescribesTheDeviceAndClosesIt) {
    norvi_emu_clear_devices();
    norvi_emu_add_device("Emulated A", 16ull << 30, 15ull << 30, 8, 6);
    norvi_emu_add_device("Emulated B", 24ull << 30, 2ull << 30, 12, 0);
    const DeviceInfo a = query_device_info(0);
    EXPECT_EQ("Emulated A", a.name);
    EXPECT_EQ(16384u, a.total_vram_mb);
    EXPECT_EQ(15360u, a.free_vram_mb);
    EXPECT_EQ("8.6", a.compute_capability);
    EXPECT_EQ(118, a.optix_abi);
    EXPECT_EQ("12.0", query_device_info(1).compute_capability);
    EXPECT_EQ(0, norvi_emu_optix_live_contexts());
    EXPECT_EQ(0, norvi_emu_live_streams());

    EXPECT_EQ("Failed to set CUDA device: invalid device ordinal", runtime_error_of([] { query_device_info(2); }));
}

}  // namespace
}  // namespace norvi
