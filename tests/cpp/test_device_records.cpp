// Device records: the layouts are asserted at compile time in
// gpu/device_records.h (and again by nvcc when the device programs build);
// here, the properties a byte copy to the device relies on at run time.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "gpu/device_records.h"

namespace norvi {
namespace {

template <typename T>
bool all_bytes_zero(const T& value) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&value);
    for (std::size_t i = 0; i < sizeof(T); ++i)
        if (bytes[i] != 0) return false;
    return true;
}

TEST(DeviceRecords, ValueInitialisedRecordsAreAllZeroBytes) {
    // Fill the storage with garbage first, so the zeros come from the
    // initialisation and not from fresh memory.
    alignas(LaunchParams) unsigned char storage[sizeof(LaunchParams)];
    std::memset(storage, 0xAB, sizeof(storage));
    auto* params = new (storage) LaunchParams{};
    EXPECT_TRUE(all_bytes_zero(*params));

    alignas(HitGroupRecord) unsigned char hg_storage[sizeof(HitGroupRecord)];
    std::memset(hg_storage, 0xCD, sizeof(hg_storage));
    auto* hg = new (hg_storage) HitGroupRecord{};
    EXPECT_TRUE(all_bytes_zero(*hg));
}

TEST(DeviceRecords, SceneRecordSitsInsideTheLaunchRecordByteForByte) {
    LaunchParams params{};
    SceneData scene{};
    scene.traversable = 0x1122334455667788ull;
    scene.num_bands = 7;
    scene.sif_only = true;
    params.scene = scene;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&params);
    EXPECT_EQ(0, std::memcmp(bytes + 16, &scene, sizeof(SceneData)));
    int32_t bands = 0;
    std::memcpy(&bands, bytes + 16 + 184, 4);
    EXPECT_EQ(7, bands);
    EXPECT_EQ(1, bytes[16 + 396]);
}

TEST(DeviceRecords, HitGroupRecordArraysHaveTheStrideTheSbtDeclares) {
    std::vector<HitGroupRecord> records(4);
    const auto* base = reinterpret_cast<const unsigned char*>(records.data());
    const auto* second = reinterpret_cast<const unsigned char*>(&records[1]);
    EXPECT_EQ(80, second - base);
    EXPECT_EQ(0u, reinterpret_cast<std::uintptr_t>(base) % 16);
    // The device finds its payload 32 bytes past the record start.
    const auto* payload = reinterpret_cast<const unsigned char*>(&records[1].data);
    EXPECT_EQ(32, payload - second);
}

}  // namespace
}  // namespace norvi
