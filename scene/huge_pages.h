#pragma once
// Huge pages for large host arrays read at random (a hit's triangle indices
// and vertex normals): one TLB entry covers 2 MiB instead of 4 KiB.

#include <cstddef>

namespace norvi::embree {

// Asks the kernel to back the whole 2 MiB pages inside [data, data + bytes)
// with huge pages, now and on later faults. Only advice: the contents and
// the address stay as they are, and nothing happens where the system does
// not offer it or the range holds no whole huge page.
void advise_huge_pages(const void* data, std::size_t bytes);

}  // namespace norvi::embree
