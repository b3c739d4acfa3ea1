// The resources inside the built Plinkor.exe, read back from the file with our
// own reader and held against the values the program's windows, pages and
// installers depend on: the dialog templates control by control, the string,
// the icon, the dialog-initialisation data, the version block and the
// application manifest, all under Chinese (PRC).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "pe_resources.h"
#include "res/version.h"

namespace plk::test {
namespace {

constexpr uint16_t kChinesePrc = 0x0804;
constexpr uint32_t kRtIcon = 3, kRtDialog = 5, kRtString = 6, kRtGroupIcon = 14, kRtVersion = 16,
                   kRtManifest = 24, kRtDialogInit = 240;

// The executable and its machine type come from the build, or from the
// environment when the reader runs on another system than the program's.
std::string Setting(const char* name, const char* built) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : built;
}

uint16_t ExpectedMachine() {
    return static_cast<uint16_t>(
        std::stoul(Setting("PLINKOR_EXPECTED_MACHINE", PLINKOR_EXPECTED_MACHINE), nullptr, 0));
}

const PeImage& Program() {
    static const PeImage image = [] {
        std::string path = Setting("PLINKOR_RESOURCE_EXE", PLINKOR_RESOURCE_EXE);
        if (!path.empty() && path.front() == '/' && PLINKOR_UNDER_WINE) {
            path = "Z:" + path;  // Wine's drive for the Unix root
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            throw PeFormatError("cannot open " + path);
        }
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        return ReadPeImage(bytes);
    }();
    return image;
}

const std::vector<uint8_t>& Resource(uint32_t type, uint32_t name) {
    static const std::vector<uint8_t> none;
    const auto it = Program().resources.find({type, name, kChinesePrc});
    return it != Program().resources.end() ? it->second : none;
}

// Control classes come as the system's ordinals or as names; both mean the same.
std::u16string ClassName(const std::u16string& raw) {
    if (raw == u"#128")
        return u"BUTTON";
    if (raw == u"#130")
        return u"STATIC";
    if (raw == u"#133")
        return u"COMBOBOX";
    std::u16string upper = raw;
    for (char16_t& c : upper) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return upper;
}

struct Control {
    uint32_t id;
    std::u16string className, text;
    uint32_t style;
    int16_t x, y, cx, cy;
    bool operator==(const Control&) const = default;
};

void PrintTo(const Control& c, std::ostream* os) {
    *os << "{id " << c.id << ", style 0x" << std::hex << c.style << std::dec << ", " << c.x << ","
        << c.y << " " << c.cx << "x" << c.cy << ", text length " << c.text.size() << "}";
}

struct DialogHeader {
    uint32_t style = 0, exStyle = 0, helpId = 0;
    int16_t x = 0, y = 0, cx = 0, cy = 0;
    std::u16string menu{}, windowClass{}, caption{};
    uint16_t points = 0, weight = 0;
    uint8_t italic = 0, charset = 0;
    std::u16string face{};
    bool operator==(const DialogHeader&) const = default;
};

void PrintTo(const DialogHeader& h, std::ostream* os) {
    *os << "{style 0x" << std::hex << h.style << ", extended 0x" << h.exStyle << std::dec
        << ", help " << h.helpId << ", " << h.x << "," << h.y << " " << h.cx << "x" << h.cy
        << ", menu/class/caption/face lengths " << h.menu.size() << "/" << h.windowClass.size()
        << "/" << h.caption.size() << "/" << h.face.size() << ", font " << h.points << " pt weight "
        << h.weight << " italic " << int{h.italic} << " charset " << int{h.charset} << "}";
}

struct Dialog : DialogHeader {
    std::vector<Control> controls;
};

constexpr uint32_t kDsSetFont = 0x40;

int16_t S16(ByteReader& r) {
    return static_cast<int16_t>(r.U16());
}

// Both forms of a dialog template. The extended one starts with version 1 and
// the signature 0xFFFF, and adds help identifiers, 32-bit control identifiers
// and the font's weight, italic flag and character set.
Dialog ReadDialog(std::span<const uint8_t> bytes, bool extended) {
    ByteReader r(bytes);
    Dialog d;
    if (extended) {
        EXPECT_EQ(r.U16(), 1);
        EXPECT_EQ(r.U16(), 0xFFFF);
        d.helpId = r.U32();
        d.exStyle = r.U32();
        d.style = r.U32();
    } else {
        d.style = r.U32();
        d.exStyle = r.U32();
    }
    const uint16_t count = r.U16();
    d.x = S16(r), d.y = S16(r), d.cx = S16(r), d.cy = S16(r);
    d.menu = r.NameOrOrdinal();
    d.windowClass = r.NameOrOrdinal();
    d.caption = r.Text();
    if (d.style & kDsSetFont) {
        d.points = r.U16();
        if (extended) {
            d.weight = r.U16();
            d.italic = r.U8();
            d.charset = r.U8();
        }
        d.face = r.Text();
    }
    for (uint16_t i = 0; i < count; ++i) {
        r.AlignTo4();
        Control c{};
        if (extended) {
            EXPECT_EQ(r.U32(), 0U) << "help identifier of control " << i;
            EXPECT_EQ(r.U32(), 0U) << "extended style of control " << i;
            c.style = r.U32();
        } else {
            c.style = r.U32();
            EXPECT_EQ(r.U32(), 0U) << "extended style of control " << i;
        }
        c.x = S16(r), c.y = S16(r), c.cx = S16(r), c.cy = S16(r);
        c.id = extended ? r.U32() : r.U16();
        c.className = ClassName(r.NameOrOrdinal());
        c.text = r.NameOrOrdinal();
        EXPECT_EQ(r.U16(), 0) << "creation data of control " << i;
        d.controls.push_back(c);
    }
    EXPECT_TRUE(r.atEnd()) << "bytes after the last control at " << r.offset();
    return d;
}

TEST(ProgramResources, AreAGuiExecutableHoldingOnlyItsOwnResourcesInChinese) {
    const PeImage& image = Program();
    EXPECT_EQ(image.subsystem, 2) << "not a GUI-subsystem executable";
    EXPECT_EQ(image.machine, ExpectedMachine());
    std::set<ResourceKey> keys;
    for (const auto& [key, bytes] : image.resources) {
        keys.insert(key);
    }
    const std::set<ResourceKey> expected{
        {kRtIcon, 1, kChinesePrc},        {kRtDialog, 100, kChinesePrc},
        {kRtDialog, 102, kChinesePrc},    {kRtString, 101 / 16 + 1, kChinesePrc},
        {kRtGroupIcon, 133, kChinesePrc}, {kRtVersion, 1, kChinesePrc},
        {kRtManifest, 1, kChinesePrc},    {kRtDialogInit, 102, kChinesePrc}};
    EXPECT_EQ(keys, expected);
}

TEST(ProgramResources, MainDialogTemplate) {
    const Dialog d = ReadDialog(Resource(kRtDialog, 102), true);
    const DialogHeader header{.style = 0x90C800C0,
                              .exStyle = 0x00040000,
                              .cx = 320,
                              .cy = 46,
                              .caption = u"Plinkor-在线编程",
                              .points = 9,
                              .charset = 1,
                              .face = u"宋体"};
    EXPECT_EQ(static_cast<const DialogHeader&>(d), header);
    const uint32_t none = 0xFFFFFFFF;
    const std::vector<Control> expected{
        {1000, u"BUTTON", u"连接", 0x50010000, 272, 7, 41, 15},
        {1001, u"BUTTON", u"打开串口", 0x50010000, 209, 7, 60, 16},
        {none, u"STATIC", u"选择串口", 0x50020000, 12, 10, 33, 8},
        {1002, u"COMBOBOX", u"", 0x50200142, 45, 7, 55, 50},
        {none, u"STATIC", u"型号", 0x40020000, 106, 10, 25, 9},
        {1003, u"COMBOBOX", u"", 0x40210102, 134, 7, 72, 53},
        {1004, u"STATIC", u"", 0x50020000, 13, 31, 100, 10},
        {1005, u"STATIC", u"未连接", 0x50020000, 281, 33, 25, 8},
    };
    EXPECT_EQ(d.controls, expected);
}

TEST(ProgramResources, AboutBoxTemplate) {
    const Dialog d = ReadDialog(Resource(kRtDialog, 100), false);
    const DialogHeader header{.style = 0x80C800C0,
                              .cx = 235,
                              .cy = 55,
                              .caption = u"关于 Plinkor",
                              .points = 9,
                              .face = u"宋体"};
    EXPECT_EQ(static_cast<const DialogHeader&>(d), header);
    ASSERT_EQ(d.controls.size(), 4U);
    // The notice's wording is the program's own; its place and style are fixed.
    const std::u16string notice = d.controls[2].text;
    EXPECT_FALSE(notice.empty());
    const std::vector<Control> expected{
        {0xFFFF, u"STATIC", u"#128", 0x50000003, 11, 17, 20, 20},
        {0xFFFF, u"STATIC", u"Plinkor 1.0 版", 0x50020080, 40, 10, 119, 8},
        {0xFFFF, u"STATIC", notice, 0x50020000, 40, 25, 119, 8},
        {1, u"BUTTON", u"确定", 0x50030001, 178, 7, 50, 14},
    };
    EXPECT_EQ(d.controls, expected);
}

TEST(ProgramResources, DialogInitialisationDataFillsTheModelList) {
    const std::vector<uint8_t> expected{0xEB, 0x03, 0x03, 0x04, 7,   0,   0,   0,  '1',
                                        '1',  '5',  '2',  '0',  '0', 0x0, 0x0, 0x0};
    EXPECT_EQ(Resource(kRtDialogInit, 102), expected);
}

TEST(ProgramResources, StringTableHoldsOnlyTheAboutEntry) {
    ByteReader r(Resource(kRtString, 101 / 16 + 1));
    for (int index = 0; index < 16; ++index) {
        const uint16_t length = r.U16();
        std::u16string text;
        for (uint16_t i = 0; i < length; ++i) {
            text.push_back(static_cast<char16_t>(r.U16()));
        }
        if (index == 101 % 16) {
            EXPECT_TRUE(text == u"关于 Plinkor(&A)...");
        } else {
            EXPECT_EQ(length, 0) << "string " << (101 / 16) * 16 + index;
        }
    }
    EXPECT_TRUE(r.atEnd());
}

TEST(ProgramResources, IconGroupHoldsOne64PixelTrueColourImage) {
    ByteReader group(Resource(kRtGroupIcon, 133));
    EXPECT_EQ(group.U16(), 0);  // reserved
    EXPECT_EQ(group.U16(), 1);  // icons, not cursors
    ASSERT_EQ(group.U16(), 1);
    EXPECT_EQ(group.U8(), 64);
    EXPECT_EQ(group.U8(), 64);
    EXPECT_EQ(group.U8(), 0);  // no palette
    EXPECT_EQ(group.U8(), 0);
    EXPECT_EQ(group.U16(), 1);   // planes
    EXPECT_EQ(group.U16(), 24);  // bits per pixel
    EXPECT_EQ(group.U32(), 12840U);
    EXPECT_EQ(group.U16(), 1);  // icon resource 1
    EXPECT_TRUE(group.atEnd());

    const std::vector<uint8_t>& image = Resource(kRtIcon, 1);
    ASSERT_EQ(image.size(), 12840U);
    ByteReader header(image);
    EXPECT_EQ(header.U32(), 40U);
    EXPECT_EQ(header.U32(), 64U);
    EXPECT_EQ(header.U32(), 128U);  // colour rows and mask rows
    EXPECT_EQ(header.U16(), 1);
    EXPECT_EQ(header.U16(), 24);
}

// The manifest the loader reads at start: well-formed UTF-8 XML without a
// byte-order mark, system-DPI aware, the Windows versions from 7 to 11, no
// elevation, and no dependency on Common Controls 6 (whose themed controls
// would change the template's metrics).
TEST(ProgramResources, ManifestDeclaresDpiAwarenessAndTheSupportedWindows) {
    const std::vector<uint8_t>& bytes = Resource(kRtManifest, 1);
    const std::string xml(bytes.begin(), bytes.end());
    ASSERT_FALSE(xml.empty());
    EXPECT_EQ(xml.rfind("<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n", 0), 0U);
    EXPECT_EQ(xml.find('\0'), std::string::npos);
    for (const char c : xml) {
        EXPECT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7F)) << "byte " << int{c};
    }
    // Every element that opens is closed, in order.
    std::vector<std::string> open;
    for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at + 1)) {
        const size_t end = xml.find('>', at);
        ASSERT_NE(end, std::string::npos);
        const std::string tag = xml.substr(at + 1, end - at - 1);
        if (tag.front() == '?' || tag.back() == '/') {
            continue;
        }
        const std::string name =
            tag.substr(tag.front() == '/', tag.find_first_of(" >") - (tag.front() == '/'));
        if (tag.front() == '/') {
            ASSERT_FALSE(open.empty()) << name;
            EXPECT_EQ(open.back(), name);
            open.pop_back();
        } else {
            open.push_back(name);
        }
    }
    EXPECT_TRUE(open.empty());
    const char* const expected[] = {
        "<assembly xmlns='urn:schemas-microsoft-com:asm.v1' manifestVersion='1.0'>",
        "<compatibility xmlns='urn:schemas-microsoft-com:compatibility.v1'>",
        "<supportedOS Id='{35138b9a-5d96-4fbd-8e2d-a2440225f93a}'/>",  // 7
        "<supportedOS Id='{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}'/>",  // 8
        "<supportedOS Id='{1f676c76-80e1-4239-95bb-83d0f6d0da78}'/>",  // 8.1
        "<supportedOS Id='{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'/>",  // 10, 11
        "<dpiAware xmlns='http://schemas.microsoft.com/SMI/2005/WindowsSettings'>true</dpiAware>",
        "<requestedExecutionLevel level='asInvoker' uiAccess='false'/>",
    };
    for (const char* text : expected) {
        EXPECT_NE(xml.find(text), std::string::npos) << text;
    }
    EXPECT_EQ(xml.find("dpiAwareness"), std::string::npos) << "per-monitor awareness";
    EXPECT_EQ(xml.find("Microsoft.Windows.Common-Controls"), std::string::npos);
}

// A node of the version block: length, value length, type, key, then its value
// and its children, each aligned to four bytes.
struct VersionNode {
    std::u16string key;
    uint16_t type = 0;
    std::vector<uint8_t> value;
    std::vector<VersionNode> children;
};

VersionNode ReadVersionNode(std::span<const uint8_t> bytes) {
    ByteReader r(bytes);
    const uint16_t length = r.U16();
    const uint16_t valueLength = r.U16();
    VersionNode node;
    node.type = r.U16();
    node.key = r.Text();
    if (length > bytes.size()) {
        throw PeFormatError("version node longer than its parent");
    }
    r.AlignTo4();
    // Text values count their length in characters.
    const size_t valueBytes = node.type == 1 ? size_t{valueLength} * 2 : valueLength;
    const auto value = r.Bytes(std::min<size_t>(valueBytes, length - r.offset()));
    node.value.assign(value.begin(), value.end());
    while (r.offset() < length) {
        r.AlignTo4();
        if (r.offset() >= length)
            break;
        const auto rest = bytes.subspan(r.offset(), length - r.offset());
        VersionNode child = ReadVersionNode(rest);
        const uint16_t childLength = static_cast<uint16_t>(rest[0] | (rest[1] << 8));
        r.Bytes(childLength);
        node.children.push_back(std::move(child));
    }
    return node;
}

std::u16string TextValue(const std::vector<uint8_t>& value) {
    std::u16string text;
    for (size_t i = 0; i + 1 < value.size(); i += 2) {
        text.push_back(static_cast<char16_t>(value[i] | (value[i + 1] << 8)));
    }
    while (!text.empty() && text.back() == 0)
        text.pop_back();
    return text;
}

TEST(ProgramResources, VersionBlock) {
    const VersionNode root = ReadVersionNode(Resource(kRtVersion, 1));
    EXPECT_TRUE(root.key == u"VS_VERSION_INFO");
    ASSERT_EQ(root.value.size(), 52U);
    ByteReader fixed(root.value);
    // Each version as two double words, the higher numbers first.
    constexpr uint16_t kVersion[] = {PLINKOR_VERSION_NUMBERS};
    constexpr uint32_t kHigh = uint32_t{kVersion[0]} << 16 | kVersion[1];
    constexpr uint32_t kLow = uint32_t{kVersion[2]} << 16 | kVersion[3];
    const std::vector<uint32_t> expectedFixed{
        0xFEEF04BD, 0x00010000, kHigh, kLow, kHigh, kLow, 0x3F, 0, 4, 1, 0, 0, 0};
    std::vector<uint32_t> fields;
    for (int i = 0; i < 13; ++i)
        fields.push_back(fixed.U32());
    fields[1] &= 0xFFFF0000;  // the low word is the structure's minor version
    EXPECT_EQ(fields, expectedFixed);

    ASSERT_EQ(root.children.size(), 2U);
    const VersionNode& strings = root.children[0];
    EXPECT_TRUE(strings.key == u"StringFileInfo");
    ASSERT_EQ(strings.children.size(), 1U);
    EXPECT_TRUE(strings.children[0].key == u"080404b0");
    std::vector<std::u16string> keys, values;
    for (const VersionNode& entry : strings.children[0].children) {
        keys.push_back(entry.key);
        values.push_back(TextValue(entry.value));
    }
    const std::vector<std::u16string> expectedKeys{
        u"Comments",     u"CompanyName",    u"FileDescription", u"FileVersion",
        u"InternalName", u"LegalCopyright", u"LegalTrademarks", u"OriginalFilename",
        u"PrivateBuild", u"ProductName",    u"ProductVersion",  u"SpecialBuild"};
    EXPECT_EQ(keys, expectedKeys);
    ASSERT_EQ(values.size(), 12U);
    EXPECT_FALSE(values[5].empty()) << "the legal notice";
    values[5].clear();
    const std::u16string version = u"" PLINKOR_VERSION_COMMAS;
    const std::vector<std::u16string> expectedValues{
        u"",     u"", u"Plinkor",     version, u"Plinkor",
        u"",     u"", u"Plinkor.EXE", u"",     u"Plinkor 应用程序",
        version, u""};
    EXPECT_TRUE(values == expectedValues);

    const VersionNode& vars = root.children[1];
    EXPECT_TRUE(vars.key == u"VarFileInfo");
    ASSERT_EQ(vars.children.size(), 1U);
    EXPECT_TRUE(vars.children[0].key == u"Translation");
    EXPECT_EQ(vars.children[0].value, (std::vector<uint8_t>{0x04, 0x08, 0xB0, 0x04}));
}

}  // namespace
}  // namespace plk::test
