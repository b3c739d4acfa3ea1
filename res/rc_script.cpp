#include "res/rc_script.h"

#include <cstdio>

#include "res/resource.h"
#include "res/templates.h"

namespace plk::res {

namespace {

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// A string literal of the script: quotes doubled, UTF-8 as it is (the script
// declares code page 65001).
std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        out += c;
        if (c == '"') {
            out += '"';
        }
    }
    return out + "\"";
}

const char* ClassName(ControlClass c) {
    switch (c) {
        case ControlClass::kButton:
            return "\"Button\"";
        case ControlClass::kStatic:
            return "\"Static\"";
        case ControlClass::kComboBox:
            return "\"ComboBox\"";
    }
    return "\"\"";
}

void Dialog(std::string& out, const DialogTemplate& d) {
    out += std::to_string(d.id) + (d.extended ? " DIALOGEX " : " DIALOG ") + std::to_string(d.x) +
           ", " + std::to_string(d.y) + ", " + std::to_string(d.width) + ", " +
           std::to_string(d.height) + "\n";
    out += "STYLE " + Hex(d.style, 8) + "\n";
    if (d.exStyle != 0) {
        out += "EXSTYLE " + Hex(d.exStyle, 8) + "\n";
    }
    out += "CAPTION " + Quote(d.caption) + "\n";
    out += "FONT " + std::to_string(d.pointSize) + ", " + Quote(d.face);
    if (d.extended) {
        out += ", " + std::to_string(d.weight) + ", " + (d.italic ? "1" : "0") + ", " +
               Hex(static_cast<uint32_t>(d.charset), 1);
    }
    out += "\nBEGIN\n";
    for (const ControlTemplate& c : d.controls) {
        // An icon static names its icon where a text would be.
        const std::string text =
            c.isIcon() && c.iconId != 0 ? std::to_string(c.iconId) : Quote(c.text);
        const int id = c.id == kNoId16 ? -1 : c.id;
        // The resource compilers add WS_CHILD | WS_VISIBLE to every control's
        // style; a hidden control must take the visible bit away again.
        const std::string styleText =
            Hex(c.style, 8) + (c.visible() ? "" : " | NOT " + Hex(style::kVisible, 8));
        out += "    CONTROL " + text + ", " + std::to_string(id) + ", " +
               ClassName(c.controlClass) + ", " + styleText + ", " + std::to_string(c.x) + ", " +
               std::to_string(c.y) + ", " + std::to_string(c.width) + ", " +
               std::to_string(c.height) + "\n";
    }
    out += "END\n\n";
}

// The dialog-initialisation data as the framework's tools write it: per
// record the control, the message and the length (two words), then the data
// as little-endian words, an odd last byte as an octal string. Every item is
// followed by a comma, line ends included: windres, unlike the Microsoft
// compiler, reads two items without one between them as an error.
void DialogInit(std::string& out, const DialogTemplate& d) {
    const auto records = ParseDlgInit(d.initData);
    if (d.initData.empty() || !records) {
        return;
    }
    out += std::to_string(d.id) + " 240  // dialog-initialisation data\nBEGIN\n";
    for (const DlgInitRecord& r : *records) {
        out += "    " + std::to_string(r.controlId) + ", " + Hex(r.message, 3) + ", " +
               std::to_string(r.data.size()) + ", 0,\n";
        std::string line;
        std::size_t i = 0;
        for (; i + 1 < r.data.size(); i += 2) {
            line += Hex(static_cast<uint32_t>(r.data[i] | r.data[i + 1] << 8), 4) + ", ";
        }
        if (i < r.data.size()) {
            char octal[16];
            std::snprintf(octal, sizeof octal, "\"\\%03o\", ", r.data[i]);
            line += octal;
        }
        if (!line.empty()) {
            line.pop_back();  // the blank after the last comma
            out += line + "\n";
        }
    }
    out += "    0\nEND\n\n";
}

}  // namespace

std::string ResourceScript() {
    std::string out =
        "// Written from res/templates.cpp by the plinkor_rc build target; do not edit.\n"
        "#pragma code_page(65001)\n"
        "LANGUAGE 0x04, 0x02  // Chinese (PRC)\n\n";
    out += std::to_string(IDI_APP_ICON) + " ICON \"app_icon.ico\"\n\n";
    // RT_MANIFEST: the lines as bytes, each with its line feed; raw data gets
    // no terminator.
    out += std::to_string(kManifestId) + " 24  // application manifest\nBEGIN\n";
    const auto manifest = ManifestLines();
    for (std::size_t i = 0; i < manifest.size(); ++i) {
        out += "    " + Quote(std::string(manifest[i]) + "\\n") +
               (i + 1 < manifest.size() ? ",\n" : "\n");
    }
    out += "END\n\n";
    Dialog(out, AboutBox());
    Dialog(out, MainDialog());
    DialogInit(out, MainDialog());

    out += "STRINGTABLE\nBEGIN\n";
    for (const StringEntry& s : StringTable()) {
        out += "    " + std::to_string(s.id) + " " + Quote(s.text) + "\n";
    }
    out += "END\n\n";

    const VersionInfo& v = Version();
    auto four = [](const uint16_t(&n)[4]) {
        return std::to_string(n[0]) + "," + std::to_string(n[1]) + "," + std::to_string(n[2]) +
               "," + std::to_string(n[3]);
    };
    out += "1 VERSIONINFO\n";
    out += " FILEVERSION " + four(v.fileVersion) + "\n";
    out += " PRODUCTVERSION " + four(v.productVersion) + "\n";
    out += " FILEFLAGSMASK " + Hex(v.flagsMask, 2) + "L\n";
    out += " FILEFLAGS " + Hex(v.flags, 1) + "L\n";
    out += " FILEOS " + Hex(v.os, 1) + "L\n";
    out += " FILETYPE " + Hex(v.fileType, 1) + "L\n";
    out += " FILESUBTYPE " + Hex(v.fileSubtype, 1) + "L\n";
    char block[16];
    std::snprintf(block, sizeof block, "%04x%04x", v.language, v.codePage);
    out += "BEGIN\n    BLOCK \"StringFileInfo\"\n    BEGIN\n        BLOCK \"" + std::string(block) +
           "\"\n        BEGIN\n";
    for (const auto& s : v.strings) {
        out +=
            "            VALUE " + Quote(s.key) + ", " + Quote(std::string(s.value) + "\\0") + "\n";
    }
    out += "        END\n    END\n    BLOCK \"VarFileInfo\"\n    BEGIN\n";
    out += "        VALUE \"Translation\", " + Hex(v.language, 3) + ", " +
           std::to_string(v.codePage) + "\n    END\nEND\n";
    return out;
}

}  // namespace plk::res
