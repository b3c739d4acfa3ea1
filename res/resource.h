// Resource identifiers: dialogs, controls, strings, icons and commands.
#pragma once

namespace plk {

inline constexpr int IDD_ABOUT_BOX = 100;
inline constexpr int IDS_ABOUT_ENTRY = 101;
inline constexpr int IDD_MAIN_DIALOG = 102;
inline constexpr int IDI_DEFAULT_ICON = 128;  // named by the About box; not among the resources
inline constexpr int IDI_APP_ICON = 133;

// Window-menu command of the About entry.
inline constexpr unsigned IDM_ABOUT_ENTRY = 0x0010;

// Control identifiers of the main dialog.
inline constexpr int IDC_BTN_CONNECT = 1000;
inline constexpr int IDC_BTN_OPENPORT = 1001;
inline constexpr int IDC_CMB_PORT = 1002;
inline constexpr int IDC_CMB_MODEL = 1003;
inline constexpr int IDC_TXT_PORTINFO = 1004;
inline constexpr int IDC_TXT_LINKSTATE = 1005;

// A control without an identifier.
inline constexpr int IDC_STATIC = -1;

}  // namespace plk
