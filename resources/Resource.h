#pragma once
// Resource and control identifiers.

inline constexpr int IDD_ABOUTBOX = 100;
inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDD_TOVREL_DIALOG = 102;
inline constexpr int IDR_MAINFRAME = 128;
inline constexpr unsigned IDM_ABOUTBOX = 0x0010;

inline constexpr int IDC_RADIO_TEST = 1000;
inline constexpr int IDC_RADIO_CALIB = 1001;
inline constexpr int IDC_EDIT_COEF1 = 1002;
inline constexpr int IDC_BUTTON_DOWNLOAD = 1003;
inline constexpr int IDC_BUTTON_START = 1004;
inline constexpr int IDC_BUTTON_STOP = 1005;
inline constexpr int IDC_BUTTON_AMPLIFY = 1006;
inline constexpr int IDC_BUTTON_ZERO = 1007;
inline constexpr int IDC_EDIT_GAIN1 = 1008;
inline constexpr int IDC_STATIC_PRESS2 = 1009;
inline constexpr int IDC_EDIT_GAIN2 = 1010;
inline constexpr int IDC_EDIT_HISTORY = 1011;
inline constexpr int IDC_COMBO_PORT = 1012;
inline constexpr int IDC_STATIC_PRESS1 = 1013;
inline constexpr int IDC_MSCOMM1 = 1014;
inline constexpr int IDC_EDIT_COEF2 = 1015;
inline constexpr int IDC_FRAME_PULSE1 = 1016;
inline constexpr int IDC_FRAME_PULSE2 = 1017;
inline constexpr int IDC_FRAME_ECG = 1018;
inline constexpr int IDC_FRAME_HEARTSOUND = 1019;
inline constexpr int IDC_BUTTON_SAVEFILE = 1020;
inline constexpr int IDC_BUTTON_STOPSAVE = 1021;
inline constexpr int IDC_BUTTON_OPENPORT = 1022;
inline constexpr int IDC_BUTTON_CLOSEPORT = 1023;
