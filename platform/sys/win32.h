// The one way the Windows files of the platform layer see the Win32 API.
// Winsock 2 must come before <windows.h>, which would otherwise pull in the
// old Winsock 1 declarations. The A/W name macros of <windows.h> are undone
// where they collide with our own member names (Window::MessageBox,
// DialogHost::LoadIcon, res::LoadString); the Windows files call the wide
// functions by their full names (::MessageBoxW) instead, and every Win32 call
// is written with "::": platform::SetLastError, DialogFrame::EndDialog and
// platform::MulDiv hide the functions of the same names.
#pragma once

#ifndef _WIN32
#error "platform/sys/win32.h is for the Windows build only"
#endif

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// Windows 7: CancelIoEx, the wide registry and Winsock calls used here.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#ifndef WINVER
#define WINVER _WIN32_WINNT
#endif

// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#undef MessageBox
#undef LoadIcon
#undef LoadString
#undef LoadCursor
#undef LoadBitmap
#undef LoadMenu
#undef CreateWindow
#undef CreateDialog
#undef DialogBox
#undef SendMessage
#undef PostMessage
#undef DrawText
#undef GetMessage
#undef DispatchMessage
#undef PeekMessage
#undef SetWindowText
#undef GetWindowText
#undef CreateEvent
#undef CreateFile
#undef FormatMessage
#undef GetObject
#undef RegisterClass
#undef DefWindowProc
#undef CallWindowProc
#undef GetClassName
#undef IsDialogMessage
#undef DeleteFile
#undef CopyFile
#undef GetCurrentDirectory
#undef MoveFile
#undef Yield
