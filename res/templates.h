// The program's resources as data: dialog templates, the dialog-initialisation
// records, the string table, the icon and the version values. Everything that
// builds a window, and the Windows resource script, is derived from these tables.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace plk::res {

// Window and control style bits, with their Windows values.
namespace style {
inline constexpr uint32_t kPopup = 0x80000000;
inline constexpr uint32_t kChild = 0x40000000;
inline constexpr uint32_t kVisible = 0x10000000;
inline constexpr uint32_t kCaption = 0x00C00000;
inline constexpr uint32_t kSysMenu = 0x00080000;
inline constexpr uint32_t kVScroll = 0x00200000;
inline constexpr uint32_t kGroup = 0x00020000;
inline constexpr uint32_t kTabStop = 0x00010000;
inline constexpr uint32_t kModalFrame = 0x00000080;  // DS_MODALFRAME
inline constexpr uint32_t kSetFont = 0x00000040;     // DS_SETFONT
inline constexpr uint32_t kPushButton = 0x00000000;
inline constexpr uint32_t kDefPushButton = 0x00000001;
inline constexpr uint32_t kStaticLeft = 0x00000000;
inline constexpr uint32_t kStaticIcon = 0x00000003;
inline constexpr uint32_t kStaticNoPrefix = 0x00000080;
inline constexpr uint32_t kComboDropDown = 0x00000002;
inline constexpr uint32_t kComboAutoHScroll = 0x00000040;
inline constexpr uint32_t kComboSort = 0x00000100;
inline constexpr uint32_t kExAppWindow = 0x00040000;
}  // namespace style

enum class ControlClass { kButton, kStatic, kComboBox };

// The base dialog's own commands: the OK and Cancel buttons.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
// The help command that F1 gives a dialog (57670).
inline constexpr int kIdHelp = 0xE146;
// "No identifier" in the classic form's 16-bit identifiers (IDC_STATIC elsewhere).
inline constexpr int kNoId16 = 0xFFFF;

struct ControlTemplate {
    int id;  // IDC_STATIC (-1) for none
    ControlClass controlClass;
    std::string_view text;  // UTF-8; empty for none
    uint32_t style;
    int x, y, width, height;  // dialog units
    int iconId = 0;           // SS_ICON statics: the icon they name

    bool visible() const { return (style & style::kVisible) != 0; }
    bool tabStop() const { return (style & style::kTabStop) != 0; }
    bool hasId() const { return id != -1 && id != kNoId16; }
    // The low four style bits are the control's kind within its class.
    bool isDefaultButton() const {
        return controlClass == ControlClass::kButton && (style & 0xF) == style::kDefPushButton;
    }
    bool isIcon() const {
        return controlClass == ControlClass::kStatic && (style & 0xF) == style::kStaticIcon;
    }
};

// Written with designated initialisers; the members with a value here may be
// left out.
struct DialogTemplate {
    int id;
    bool extended;  // extended template form (else classic)
    uint32_t style;
    uint32_t exStyle = 0;
    int x = 0, y = 0;  // dialog units
    int width, height;
    std::string_view caption;
    int pointSize;
    int weight = 0;
    bool italic = false;
    int charset;
    std::string_view face;  // the face the template names
    std::span<const ControlTemplate> controls;
    // The dialog-initialisation resource of the same identifier; empty for none.
    std::span<const uint8_t> initData = {};
};

const DialogTemplate& MainDialog();
const DialogTemplate& AboutBox();
// By identifier; nullptr when there is no such dialog.
const DialogTemplate* FindDialog(int id);

// The dialog face and the faces that stand in for it where it is missing, in
// order of preference. All cover the dialogs' Chinese texts.
std::span<const std::string_view> DialogFontFamilies();

// One record of dialog-initialisation data: a message for a control.
struct DlgInitRecord {
    int controlId;
    uint16_t message;
    std::vector<uint8_t> data;
};
inline constexpr uint16_t kCbAddString = 0x0403;
// Parses dialog-initialisation data; nullopt when it is cut short or a record
// overruns it.
std::optional<std::vector<DlgInitRecord>> ParseDlgInit(std::span<const uint8_t> data);

// The string table; empty for a missing entry.
std::string_view LoadString(int id);

struct StringEntry {
    int id;
    std::string_view text;
};
std::span<const StringEntry> StringTable();

// The icon group's one image as PNG (64 x 64). Empty for an unknown icon.
std::span<const uint8_t> IconPng(int id);

struct VersionInfo {
    uint16_t fileVersion[4];
    uint16_t productVersion[4];
    uint32_t flagsMask;
    uint32_t flags;
    uint32_t os;
    uint32_t fileType;
    uint32_t fileSubtype;
    uint16_t language;
    uint16_t codePage;
    struct Value {
        std::string_view key;
        std::string_view value;
    };
    std::span<const Value> strings;
};
const VersionInfo& Version();

// The application manifest (resource type 24, identifier 1), one XML line
// per entry, without line ends: the program is aware of the system's DPI (the
// dialog manager lays the dialogs out in dialog units of the scaled font, so
// nothing is stretched), names the Windows versions it was made for, and runs
// as its user. The controls stay the classic ones: no Common Controls 6.
inline constexpr int kManifestId = 1;
std::span<const std::string_view> ManifestLines();

// Resource language of every entry (Chinese, PRC).
inline constexpr uint16_t kLanguage = 0x0804;

}  // namespace plk::res
