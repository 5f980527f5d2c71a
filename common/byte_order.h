// Little- and big-endian numbers in byte buffers: the one place where the
// image structures, the VNC cipher's blocks and the sample hive turn
// numbers into bytes and back. A both-endian field (ISO 9660) is the
// little-endian copy followed by the big-endian copy.
#pragma once

#include <cstddef>
#include <cstdint>

namespace byte_order_detail {

template <typename T>
void PutLe(std::uint8_t* p, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
template <typename T>
void PutBe(std::uint8_t* p, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    p[sizeof(T) - 1 - i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}
template <typename T>
T GetLe(const std::uint8_t* p) {
  T value = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) value = static_cast<T>((value << 8) | p[i]);
  return value;
}
template <typename T>
T GetBe(const std::uint8_t* p) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | p[i]);
  return value;
}

}  // namespace byte_order_detail

inline void put_le16(std::uint8_t* p, std::uint16_t v) { byte_order_detail::PutLe(p, v); }
inline void put_le32(std::uint8_t* p, std::uint32_t v) { byte_order_detail::PutLe(p, v); }
inline void put_le64(std::uint8_t* p, std::uint64_t v) { byte_order_detail::PutLe(p, v); }
inline std::uint64_t get_le64(const std::uint8_t* p) {
  return byte_order_detail::GetLe<std::uint64_t>(p);
}
inline void put_be16(std::uint8_t* p, std::uint16_t v) { byte_order_detail::PutBe(p, v); }
inline void put_be32(std::uint8_t* p, std::uint32_t v) { byte_order_detail::PutBe(p, v); }
inline void put_be64(std::uint8_t* p, std::uint64_t v) { byte_order_detail::PutBe(p, v); }
// Both-endian 16-bit field: 4 bytes.
inline void put_both16(std::uint8_t* p, std::uint16_t v) {
  put_le16(p, v);
  put_be16(p + 2, v);
}
// Both-endian 32-bit field: 8 bytes.
inline void put_both32(std::uint8_t* p, std::uint32_t v) {
  put_le32(p, v);
  put_be32(p + 4, v);
}
inline std::uint16_t get_le16(const std::uint8_t* p) {
  return byte_order_detail::GetLe<std::uint16_t>(p);
}
inline std::uint32_t get_le32(const std::uint8_t* p) {
  return byte_order_detail::GetLe<std::uint32_t>(p);
}
inline std::uint32_t get_be32(const std::uint8_t* p) {
  return byte_order_detail::GetBe<std::uint32_t>(p);
}
inline std::uint64_t get_be64(const std::uint8_t* p) {
  return byte_order_detail::GetBe<std::uint64_t>(p);
}
