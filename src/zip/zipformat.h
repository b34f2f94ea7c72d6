// The zip records' layout, shared by the reader's parsing and its extraction.
#pragma once

#include <cstdint>

namespace zipformat {

inline constexpr uint32_t kLocalSignature = 0x04034b50;
inline constexpr uint32_t kCentralSignature = 0x02014b50;
inline constexpr uint32_t kEndSignature = 0x06054b50;
inline constexpr uint32_t kZip64EndSignature = 0x06064b50;
inline constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
inline constexpr uint32_t kDescriptorSignature = 0x08074b50;
inline constexpr uint64_t kLocalSize = 30;
inline constexpr uint64_t kCentralSize = 46;
inline constexpr uint64_t kEndSize = 22;
inline constexpr uint64_t kZip64LocatorSize = 20;
inline constexpr uint64_t kZip64EndSize = 56;
inline constexpr uint64_t kShortDescriptor = 12;  // crc-32 and two 4-byte sizes, no signature
inline constexpr uint16_t kZip64ExtraId = 0x0001;
inline constexpr uint16_t kMax16 = 0xFFFF;
inline constexpr uint32_t kMax32 = 0xFFFFFFFF;
inline constexpr uint16_t kEncryptedFlag = 0x0001;
inline constexpr uint16_t kStrongEncryptionFlag = 0x0040;
inline constexpr uint16_t kDescriptorFlag = 0x0008;
inline constexpr uint16_t kAesMethod = 99;
// The end record is looked for in the last 450 bytes: room for a comment of up to 428 bytes.
inline constexpr uint64_t kEndSearch = 450;
inline constexpr uint16_t kUtf8Flag = 0x0800;

inline uint16_t Read16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t Read32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t Read64(const uint8_t* p)
{
    return Read32(p) | (static_cast<uint64_t>(Read32(p + 4)) << 32);
}

}  // namespace zipformat
