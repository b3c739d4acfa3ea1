// A reader of the resources a PE executable carries, written from the file
// format alone, so that what the resource compiler and linker put into
// Plinkor.exe can be checked without trusting the system's own loader.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace plk::test {

struct PeFormatError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Named types and names are not used by the program; they are kept as kNamed
// so that a stray one still shows up in the key set.
inline constexpr uint32_t kNamed = 0xFFFFFFFF;

struct ResourceKey {
    uint32_t type = 0;
    uint32_t name = 0;
    uint16_t language = 0;
    auto operator<=>(const ResourceKey&) const = default;
};

struct PeImage {
    uint16_t machine = 0;    // 0x14C: x86, 0x8664: x86-64
    uint16_t subsystem = 0;  // 2: windows GUI, 3: console
    std::map<ResourceKey, std::vector<uint8_t>> resources;
};

// Throws PeFormatError on anything that is not a well-formed PE image.
PeImage ReadPeImage(std::span<const uint8_t> file);

// Little-endian fields of a resource's bytes, read in order; every read past
// the end throws PeFormatError.
class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    // A zero-terminated UTF-16 text.
    std::u16string Text();
    // A name or an ordinal: 0xFFFF then a 16-bit number, 0 for none, else a text.
    // Ordinals come back as "#<number>", none as "".
    std::u16string NameOrOrdinal();
    std::span<const uint8_t> Bytes(size_t count);
    // Skips to the next multiple of four from the start; the padding must be zero.
    void AlignTo4();
    size_t offset() const { return offset_; }
    bool atEnd() const { return offset_ == bytes_.size(); }

private:
    std::span<const uint8_t> bytes_;
    size_t offset_ = 0;
};

}  // namespace plk::test
