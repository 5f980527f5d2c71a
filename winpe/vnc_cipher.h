// The VNC password encipherment: the password's first 8 bytes, zero-padded,
// enciphered as one DES block (ECB) under a fixed key whose bytes are taken
// with their bits mirrored, as VNC servers store their password.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

using DesBlock = std::array<std::uint8_t, 8>;

// VNC uses this many bytes of a password; the rest is ignored.
constexpr std::size_t kVncPasswordBytes = 8;

// Plain DES (FIPS 46-3) encryption of one 64-bit block; the parity bits of
// the key are ignored. Byte 0 is the most significant byte of key and block.
DesBlock DesEncryptBlock(const DesBlock& key, const DesBlock& input);

// The fixed key of the tool, in the byte order given (before mirroring).
extern const DesBlock kVncPasswordKey;

// The first 8 bytes of the password, followed by zero bytes up to 8.
DesBlock MakeVncPasswordBlock(const std::string& password);

// DES encryption of the password block under kVncPasswordKey with the bits
// of every key byte mirrored.
DesBlock EncipherVncPassword(const DesBlock& passwordBlock);
