// The translating layer between OptiX ABI 118 and ABI 105: slot offsets of
// every function we call, the 9.0 forms of the three changed option structs,
// and every call reaching the right entry of the driver's table.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "gpu/optix/optix_abi.h"
#include "gpu/optix/optix_api.h"
#include "gpu/optix_context.h"
#include "gpu_emu_fixture.h"

namespace norvi::optix {
namespace {

struct SlotFact {
    Fn fn;
    int offset118;
    int offset105;
};

// Byte offsets in the published 9.1 and 9.0 tables.
const SlotFact kSlotFacts[] = {
    {Fn::GetErrorName, 0, 0},
    {Fn::GetErrorString, 8, 8},
    {Fn::DeviceContextCreate, 16, 16},
    {Fn::DeviceContextDestroy, 24, 24},
    {Fn::ModuleCreate, 96, 96},
    {Fn::ModuleDestroy, 144, 120},
    {Fn::ProgramGroupCreate, 192, 144},
    {Fn::ProgramGroupDestroy, 200, 152},
    {Fn::PipelineCreate, 216, 168},
    {Fn::PipelineDestroy, 224, 176},
    {Fn::PipelineSetStackSize, 240, 184},
    {Fn::AccelComputeMemoryUsage, 256, 192},
    {Fn::AccelBuild, 264, 200},
    {Fn::SbtRecordPackHeader, 384, 320},
    {Fn::Launch, 392, 328},
};

TEST(OptixAbi, SlotOffsetsMatchBothTables) {
    for (const SlotFact& f : kSlotFacts) {
        EXPECT_EQ(f.offset118, 8 * table_slot(kAbi91, f.fn)) << static_cast<int>(f.fn);
        EXPECT_EQ(f.offset105, 8 * table_slot(kAbi90, f.fn)) << static_cast<int>(f.fn);
        EXPECT_LT(table_slot(kAbi90, f.fn), 52);
    }
    EXPECT_EQ(-1, table_slot(87, Fn::Launch));
    EXPECT_EQ(480u, table_bytes(118));
    EXPECT_EQ(416u, table_bytes(105));
    EXPECT_EQ(0u, table_bytes(93));
}

template <typename T>
T read_at(const void* base, std::size_t offset) {
    T v;
    std::memcpy(&v, static_cast<const char*>(base) + offset, sizeof(T));
    return v;
}

TEST(OptixAbi, PipelineCompileOptionsMoveUpEightBytesUnder90) {
    OptixPipelineCompileOptions o{};
    o.usesMotionBlur = 1;
    o.traversableGraphFlags = 2;
    o.numPayloadValues = 3;
    o.numAttributeValues = 4;
    o.exceptionFlags = 5;
    o.pipelineLaunchParamsVariableName = "params";
    o.pipelineLaunchParamsSizeInBytes = 936;
    o.usesPrimitiveTypeFlags = 0x80000000u;
    o.allowOpacityMicromaps = 6;
    o.allowClusteredGeometry = 7;
    const OptixPipelineCompileOptions90 p = to_abi90(o);
    EXPECT_EQ(1, read_at<int>(&p, 0));
    EXPECT_EQ(2u, read_at<unsigned>(&p, 4));
    EXPECT_EQ(3, read_at<int>(&p, 8));
    EXPECT_EQ(4, read_at<int>(&p, 12));
    EXPECT_EQ(5u, read_at<unsigned>(&p, 16));
    EXPECT_STREQ("params", read_at<const char*>(&p, 24));
    EXPECT_EQ(0x80000000u, read_at<unsigned>(&p, 32));
    EXPECT_EQ(6, read_at<int>(&p, 36));
    EXPECT_EQ(7, read_at<int>(&p, 40));
}

TEST(OptixAbi, ModuleAndLinkOptionsKeepTheir90Prefix) {
    OptixModuleCompileOptions m{};
    m.maxRegisterCount = 0;
    m.optLevel = OPTIX_COMPILE_OPTIMIZATION_LEVEL_3;
    m.debugLevel = OPTIX_COMPILE_DEBUG_LEVEL_MINIMAL;
    m.numPayloadTypes = 2;
    const OptixModuleCompileOptions90 m90 = to_abi90(m);
    EXPECT_EQ(0, std::memcmp(&m, &m90, sizeof(m90)));

    OptixPipelineLinkOptions l{};
    l.maxTraceDepth = 2;
    l.maxTraversableGraphDepth = 3;
    EXPECT_EQ(2u, to_abi90(l).maxTraceDepth);
}

using Dispatch = test::EmulatedPlatform;

// Calls every method once with empty arguments and returns the names of the
// table entries that were reached, in order.
std::vector<std::string> reached_entries() {
    const OptixApi& api = optix_api();
    const std::size_t before = test::EmulatedPlatform::trace().size();
    OptixModuleCompileOptions mco{};
    OptixPipelineCompileOptions pco{};
    OptixPipelineLinkOptions plo{};
    api.module_create(nullptr, &mco, &pco, "", 0, nullptr, nullptr, nullptr);
    api.module_destroy(nullptr);
    api.program_group_create(nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr);
    api.program_group_destroy(nullptr);
    api.pipeline_create(nullptr, &pco, &plo, nullptr, 0, nullptr, nullptr, nullptr);
    api.pipeline_destroy(nullptr);
    api.pipeline_set_stack_size(nullptr, 0, 0, 4096, 3);
    api.accel_compute_memory_usage(nullptr, nullptr, nullptr, 0, nullptr);
    api.accel_build(nullptr, nullptr, nullptr, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, 0);
    api.sbt_record_pack_header(nullptr, nullptr);
    api.launch(nullptr, nullptr, 0, 0, nullptr, 1, 1, 1);
    api.device_context_destroy(nullptr);
    const std::vector<std::string> all = test::EmulatedPlatform::trace();
    return std::vector<std::string>(all.begin() + static_cast<long>(before), all.end());
}

const std::vector<std::string> kExpectedEntries = {
    "optixModuleCreate",      "optixModuleDestroy",           "optixProgramGroupCreate",
    "optixProgramGroupDestroy", "optixPipelineCreate",        "optixPipelineDestroy",
    "optixPipelineSetStackSize", "optixAccelComputeMemoryUsage", "optixAccelBuild",
    "optixSbtRecordPackHeader", "optixLaunch",                "optixDeviceContextDestroy"};

TEST_F(Dispatch, EveryCallReachesItsEntryUnderBothAbis) {
    for (const auto& [abi, error, name] :
         {std::tuple{118, OPTIX_ERROR_INVALID_DEVICE_CONTEXT, "OPTIX_ERROR_INVALID_DEVICE_CONTEXT"},
          {105, OPTIX_ERROR_UNSUPPORTED_ABI_VERSION, "OPTIX_ERROR_UNSUPPORTED_ABI_VERSION"}}) {
        norvi_emu_reset();
        if (abi == 105) norvi_emu_optix_grant_abis(105, 0);
        OptiXContext ctx(0);
        ASSERT_EQ(abi, optix_api().abi());
        EXPECT_EQ(kExpectedEntries, reached_entries()) << abi;
        EXPECT_STREQ(name, optix_api().get_error_name(error));
    }
}

TEST(OptixApiTable, AnEmptyTableRefusesEveryCall) {
    OptixApi api;
    EXPECT_EQ(0, api.abi());
    EXPECT_EQ(nullptr, api.slot(Fn::Launch));
    EXPECT_EQ(OPTIX_ERROR_NOT_SUPPORTED, api.launch(nullptr, nullptr, 0, 0, nullptr, 1, 1, 1));
    EXPECT_EQ(OPTIX_ERROR_NOT_SUPPORTED, api.device_context_destroy(nullptr));
}

}  // namespace
}  // namespace norvi::optix
