#include "res/templates.h"

#include <array>

#include "res/resource.h"
#include "res/version.h"

namespace plk::res {

// The icon's PNG bytes, generated at build time from res/app_icon.png.
std::span<const uint8_t> AppIconPngBytes();

namespace {

using namespace style;

constexpr uint32_t kButtonStyle = kChild | kVisible | kTabStop | kPushButton;
constexpr uint32_t kLabelStyle = kChild | kVisible | kGroup | kStaticLeft;
constexpr uint32_t kDialogFrame = kPopup | kCaption | kSysMenu | kModalFrame | kSetFont;

static_assert(kButtonStyle == 0x50010000);
static_assert(kLabelStyle == 0x50020000);
static_assert((kDialogFrame | kVisible) == 0x90C800C0);
static_assert(kDialogFrame == 0x80C800C0);

constexpr std::array kMainControls{
    ControlTemplate{IDC_BTN_CONNECT, ControlClass::kButton, "连接", kButtonStyle, 272, 7, 41, 15},
    ControlTemplate{IDC_BTN_OPENPORT, ControlClass::kButton, "打开串口", kButtonStyle, 209, 7, 60,
                    16},
    ControlTemplate{IDC_STATIC, ControlClass::kStatic, "选择串口", kLabelStyle, 12, 10, 33, 8},
    ControlTemplate{IDC_CMB_PORT, ControlClass::kComboBox, "",
                    kChild | kVisible | kVScroll | kComboDropDown | kComboAutoHScroll | kComboSort,
                    45, 7, 55, 50},
    ControlTemplate{IDC_STATIC, ControlClass::kStatic, "型号", kChild | kGroup | kStaticLeft, 106,
                    10, 25, 9},
    ControlTemplate{IDC_CMB_MODEL, ControlClass::kComboBox, "",
                    kChild | kVScroll | kTabStop | kComboDropDown | kComboSort, 134, 7, 72, 53},
    ControlTemplate{IDC_TXT_PORTINFO, ControlClass::kStatic, "", kLabelStyle, 13, 31, 100, 10},
    ControlTemplate{IDC_TXT_LINKSTATE, ControlClass::kStatic, "未连接", kLabelStyle, 281, 33, 25,
                    8},
};
static_assert(kMainControls[3].style == 0x50200142);
static_assert(kMainControls[4].style == 0x40020000);
static_assert(kMainControls[5].style == 0x40210102);

constexpr std::array kAboutControls{
    ControlTemplate{kNoId16, ControlClass::kStatic, "", kChild | kVisible | kStaticIcon, 11, 17, 20,
                    20, IDI_DEFAULT_ICON},
    ControlTemplate{kNoId16, ControlClass::kStatic, "Plinkor 1.0 版",
                    kChild | kVisible | kGroup | kStaticNoPrefix | kStaticLeft, 40, 10, 119, 8},
    ControlTemplate{kNoId16, ControlClass::kStatic, "版权所有 (C) 2026", kLabelStyle, 40, 25, 119,
                    8},
    ControlTemplate{kIdOk, ControlClass::kButton, "确定",
                    kChild | kVisible | kGroup | kTabStop | kDefPushButton, 178, 7, 50, 14},
};
static_assert(kAboutControls[0].style == 0x50000003);
static_assert(kAboutControls[1].style == 0x50020080);
static_assert(kAboutControls[3].style == 0x50030001);

// A dialog-initialisation record whose data is a text, sent with its zero.
struct DlgInitText {
    int controlId;
    uint16_t message;
    std::string_view text;
};

constexpr std::size_t DlgInitSize(std::span<const DlgInitText> records) {
    std::size_t size = 2;  // the end mark
    for (const DlgInitText& r : records) {
        size += 8 + r.text.size() + 1;
    }
    return size;
}

// The resource's bytes, little-endian: per record the control and the message
// (a word each) and the data's length (a double word), then the data; a zero
// word ends them.
template <std::size_t N>
constexpr std::array<uint8_t, N> DlgInitBytes(std::span<const DlgInitText> records) {
    std::array<uint8_t, N> bytes{};
    std::size_t at = 0;
    const auto put = [&](uint32_t value, int width) {
        for (int i = 0; i < width; ++i) {
            bytes[at++] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    for (const DlgInitText& r : records) {
        put(static_cast<uint16_t>(r.controlId), 2);
        put(r.message, 2);
        put(static_cast<uint32_t>(r.text.size() + 1), 4);
        for (const char c : r.text) {
            put(static_cast<uint8_t>(c), 1);
        }
        put(0, 1);
    }
    put(0, 2);
    return bytes;
}

constexpr DlgInitText kMainInitTexts[] = {
    {IDC_CMB_MODEL, kCbAddString, "115200"},
};
constexpr auto kMainDlgInit = DlgInitBytes<DlgInitSize(kMainInitTexts)>(kMainInitTexts);

constexpr std::string_view kFace = "宋体";

const DialogTemplate kMain{
    .id = IDD_MAIN_DIALOG,
    .extended = true,
    .style = kDialogFrame | kVisible,
    .exStyle = kExAppWindow,
    .width = 320,
    .height = 46,
    .caption = "Plinkor-在线编程",
    .pointSize = 9,
    .charset = 1,
    .face = kFace,
    .controls = kMainControls,
    .initData = kMainDlgInit,
};

const DialogTemplate kAbout{
    .id = IDD_ABOUT_BOX,
    .extended = false,
    .style = kDialogFrame,
    .width = 235,
    .height = 55,
    .caption = "关于 Plinkor",
    .pointSize = 9,
    .charset = 1,
    .face = kFace,
    .controls = kAboutControls,
};

constexpr std::array<std::string_view, 5> kFontFamilies{
    "SimSun", "NSimSun", "AR PL UMing CN", "WenQuanYi Zen Hei", "Noto Sans CJK SC",
};

constexpr std::array kStrings{
    StringEntry{IDS_ABOUT_ENTRY, "关于 Plinkor(&A)..."},
};

constexpr std::array kVersionStrings{
    VersionInfo::Value{"Comments", ""},
    VersionInfo::Value{"CompanyName", ""},
    VersionInfo::Value{"FileDescription", "Plinkor"},
    VersionInfo::Value{"FileVersion", PLINKOR_VERSION_COMMAS},
    VersionInfo::Value{"InternalName", "Plinkor"},
    VersionInfo::Value{"LegalCopyright", "版权所有 (C) 2026"},
    VersionInfo::Value{"LegalTrademarks", ""},
    VersionInfo::Value{"OriginalFilename", "Plinkor.EXE"},
    VersionInfo::Value{"PrivateBuild", ""},
    VersionInfo::Value{"ProductName", "Plinkor 应用程序"},
    VersionInfo::Value{"ProductVersion", PLINKOR_VERSION_COMMAS},
    VersionInfo::Value{"SpecialBuild", ""},
};

const VersionInfo kVersion{
    .fileVersion = {PLINKOR_VERSION_NUMBERS},
    .productVersion = {PLINKOR_VERSION_NUMBERS},
    .flagsMask = 0x3F,
    .flags = 0,
    .os = 4,        // VOS__WINDOWS32
    .fileType = 1,  // VFT_APP
    .fileSubtype = 0,
    .language = kLanguage,
    .codePage = 1200,
    .strings = kVersionStrings,
};

// Attribute values in single quotes: the resource script's strings then need
// no escaped quotes.
constexpr std::array<std::string_view, 21> kManifest{
    "<?xml version='1.0' encoding='UTF-8' standalone='yes'?>",
    "<assembly xmlns='urn:schemas-microsoft-com:asm.v1' manifestVersion='1.0'>",
    "  <assemblyIdentity type='win32' name='Plinkor' version='" PLINKOR_VERSION "'/>",
    "  <description>Plinkor</description>",
    "  <compatibility xmlns='urn:schemas-microsoft-com:compatibility.v1'>",
    "    <application>",
    "      <supportedOS Id='{35138b9a-5d96-4fbd-8e2d-a2440225f93a}'/>",  // 7
    "      <supportedOS Id='{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}'/>",  // 8
    "      <supportedOS Id='{1f676c76-80e1-4239-95bb-83d0f6d0da78}'/>",  // 8.1
    "      <supportedOS Id='{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'/>",  // 10 and 11
    "    </application>",
    "  </compatibility>",
    "  <application xmlns='urn:schemas-microsoft-com:asm.v3'>",
    "    <windowsSettings>",
    "      <dpiAware xmlns='http://schemas.microsoft.com/SMI/2005/WindowsSettings'>true</dpiAware>",
    "    </windowsSettings>",
    "  </application>",
    "  <trustInfo xmlns='urn:schemas-microsoft-com:asm.v3'><security><requestedPrivileges>",
    "    <requestedExecutionLevel level='asInvoker' uiAccess='false'/>",
    "  </requestedPrivileges></security></trustInfo>",
    "</assembly>",
};

uint32_t ReadLe(std::span<const uint8_t> bytes, std::size_t at, std::size_t width) {
    uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    }
    return value;
}

}  // namespace

const DialogTemplate& MainDialog() {
    return kMain;
}
const DialogTemplate& AboutBox() {
    return kAbout;
}

const DialogTemplate* FindDialog(int id) {
    if (id == IDD_MAIN_DIALOG) {
        return &kMain;
    }
    if (id == IDD_ABOUT_BOX) {
        return &kAbout;
    }
    return nullptr;
}

std::span<const std::string_view> DialogFontFamilies() {
    return kFontFamilies;
}

std::optional<std::vector<DlgInitRecord>> ParseDlgInit(std::span<const uint8_t> data) {
    std::vector<DlgInitRecord> records;
    std::size_t at = 0;
    for (;;) {
        if (data.size() - at < 2) {
            return std::nullopt;
        }
        const auto control = static_cast<uint16_t>(ReadLe(data, at, 2));
        if (control == 0) {
            return records;
        }
        if (data.size() - at < 8) {
            return std::nullopt;
        }
        const auto message = static_cast<uint16_t>(ReadLe(data, at + 2, 2));
        const uint32_t length = ReadLe(data, at + 4, 4);
        at += 8;
        if (length > data.size() - at) {
            return std::nullopt;
        }
        records.push_back(
            DlgInitRecord{static_cast<int16_t>(control), message,
                          std::vector<uint8_t>(data.begin() + at, data.begin() + at + length)});
        at += length;
    }
}

std::string_view LoadString(int id) {
    for (const StringEntry& entry : kStrings) {
        if (entry.id == id) {
            return entry.text;
        }
    }
    return {};
}

std::span<const StringEntry> StringTable() {
    return kStrings;
}

std::span<const uint8_t> IconPng(int id) {
    return id == IDI_APP_ICON ? AppIconPngBytes() : std::span<const uint8_t>{};
}

std::span<const std::string_view> ManifestLines() {
    return kManifest;
}

const VersionInfo& Version() {
    return kVersion;
}

}  // namespace plk::res
