// Device records: every offset, size and alignment is asserted at compile time
// in gpu/device_records.h (and again by nvcc when the device programs build);
// here, the zeroed padding a byte copy to the device relies on at run time.

#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
}  // namespace norvi
