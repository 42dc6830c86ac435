// The integer kernels behind compact.h, one per instruction set; each equals code_dot_portable.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane_index::compact::kernels {

#if defined(__x86_64__)
std::int32_t code_dot_avx2(const std::uint8_t* r, const std::int8_t* g, std::size_t n);
void code_dots_avx2(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
                    std::size_t n, std::int32_t* out);
std::int32_t code_dot_vnni(const std::uint8_t* r, const std::int8_t* g, std::size_t n);
void code_dots_vnni(const std::uint8_t* r, const std::int8_t* const* gs, std::size_t count,
                    std::size_t n, std::int32_t* out);
#endif

}  // namespace korvane_index::compact::kernels
