#include "pe_resources.h"

#include <string>

namespace plk::test {

namespace {

uint32_t Field(std::span<const uint8_t> file, size_t offset, size_t width) {
    if (offset > file.size() || file.size() - offset < width) {
        throw PeFormatError("field at " + std::to_string(offset) + " lies past the end");
    }
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value |= static_cast<uint32_t>(file[offset + i]) << (8 * i);
    }
    return value;
}

struct Section {
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

class Image {
public:
    explicit Image(std::span<const uint8_t> file) : file_(file) {}

    uint32_t U16(size_t offset) const { return Field(file_, offset, 2); }
    uint32_t U32(size_t offset) const { return Field(file_, offset, 4); }

    void AddSection(const Section& section) { sections_.push_back(section); }

    // The file offset of `size` bytes at a relative virtual address.
    size_t At(uint32_t rva, uint32_t size) const {
        for (const Section& s : sections_) {
            const uint32_t extent = std::max(s.virtualSize, s.rawSize);
            if (rva >= s.virtualAddress && rva - s.virtualAddress < extent) {
                const uint32_t within = rva - s.virtualAddress;
                if (within > s.rawSize || s.rawSize - within < size) {
                    break;
                }
                const size_t offset = size_t{s.rawOffset} + within;
                if (offset > file_.size() || file_.size() - offset < size) {
                    break;
                }
                return offset;
            }
        }
        throw PeFormatError("address " + std::to_string(rva) + " is not in the file");
    }

    std::span<const uint8_t> file() const { return file_; }

private:
    std::span<const uint8_t> file_;
    std::vector<Section> sections_;
};

// One level of the resource directory: (identifier, offset of what it leads to,
// whether that is a subdirectory).
struct DirectoryEntry {
    uint32_t id;
    uint32_t target;
    bool directory;
};

std::vector<DirectoryEntry> ReadDirectory(const Image& image, uint32_t rootRva, uint32_t offset) {
    const size_t at = image.At(rootRva + offset, 16);
    const uint32_t count = image.U16(at + 12) + image.U16(at + 14);
    std::vector<DirectoryEntry> entries;
    for (uint32_t i = 0; i < count; ++i) {
        const size_t entry = image.At(rootRva + offset + 16 + 8 * i, 8);
        const uint32_t name = image.U32(entry);
        const uint32_t target = image.U32(entry + 4);
        entries.push_back({(name & 0x80000000U) != 0 ? kNamed : name, target & 0x7FFFFFFFU,
                           (target & 0x80000000U) != 0});
    }
    return entries;
}

}  // namespace

PeImage ReadPeImage(std::span<const uint8_t> file) {
    Image image(file);
    if (image.U16(0) != 0x5A4D) {
        throw PeFormatError("no MZ header");
    }
    const uint32_t pe = image.U32(0x3C);
    if (image.U32(pe) != 0x00004550) {
        throw PeFormatError("no PE signature");
    }
    PeImage result;
    result.machine = static_cast<uint16_t>(image.U16(pe + 4));
    const uint32_t sections = image.U16(pe + 6);
    const uint32_t optionalSize = image.U16(pe + 20);
    const size_t optional = pe + 24;
    const uint32_t magic = image.U16(optional);
    if (magic != 0x10B && magic != 0x20B) {
        throw PeFormatError("unknown optional header");
    }
    result.subsystem = static_cast<uint16_t>(image.U16(optional + 68));
    const size_t directories = optional + (magic == 0x10B ? 96 : 112);
    const uint32_t directoryCount = image.U32(directories - 4);
    const size_t sectionTable = optional + optionalSize;
    for (uint32_t i = 0; i < sections; ++i) {
        const size_t s = sectionTable + 40 * i;
        image.AddSection(
            {image.U32(s + 12), image.U32(s + 8), image.U32(s + 20), image.U32(s + 16)});
    }
    if (directoryCount <= 2 || image.U32(directories + 16) == 0) {
        return result;  // no resources
    }
    const uint32_t root = image.U32(directories + 16);
    for (const DirectoryEntry& type : ReadDirectory(image, root, 0)) {
        if (!type.directory) {
            throw PeFormatError("a resource type that is not a directory");
        }
        for (const DirectoryEntry& name : ReadDirectory(image, root, type.target)) {
            if (!name.directory) {
                throw PeFormatError("a resource name that is not a directory");
            }
            for (const DirectoryEntry& language : ReadDirectory(image, root, name.target)) {
                if (language.directory || language.id > 0xFFFF) {
                    throw PeFormatError("a resource language that is not a data entry");
                }
                const size_t entry = image.At(root + language.target, 16);
                const uint32_t size = image.U32(entry + 4);
                const size_t data = image.At(image.U32(entry), size);
                const auto bytes = file.subspan(data, size);
                const ResourceKey key{type.id, name.id, static_cast<uint16_t>(language.id)};
                if (!result.resources.emplace(key, std::vector(bytes.begin(), bytes.end()))
                         .second) {
                    throw PeFormatError("a resource listed twice");
                }
            }
        }
    }
    return result;
}

uint8_t ByteReader::U8() {
    return static_cast<uint8_t>(Field(bytes_, (offset_ += 1) - 1, 1));
}

uint16_t ByteReader::U16() {
    return static_cast<uint16_t>(Field(bytes_, (offset_ += 2) - 2, 2));
}

uint32_t ByteReader::U32() {
    return Field(bytes_, (offset_ += 4) - 4, 4);
}

std::u16string ByteReader::Text() {
    std::u16string text;
    for (char16_t c = static_cast<char16_t>(U16()); c != 0; c = static_cast<char16_t>(U16())) {
        text.push_back(c);
    }
    return text;
}

std::u16string ByteReader::NameOrOrdinal() {
    const size_t start = offset_;
    const uint16_t first = U16();
    if (first == 0) {
        return {};
    }
    if (first == 0xFFFF) {
        const std::string number = "#" + std::to_string(U16());
        return std::u16string(number.begin(), number.end());
    }
    offset_ = start;
    return Text();
}

std::span<const uint8_t> ByteReader::Bytes(size_t count) {
    Field(bytes_, offset_, 0);
    if (bytes_.size() - offset_ < count) {
        throw PeFormatError("data past the end");
    }
    offset_ += count;
    return bytes_.subspan(offset_ - count, count);
}

void ByteReader::AlignTo4() {
    while (offset_ % 4 != 0) {
        if (U8() != 0) {
            throw PeFormatError("padding that is not zero");
        }
    }
}

}  // namespace plk::test
