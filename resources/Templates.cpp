#include "resources/Templates.h"

#include "resources/Resource.h"

using K = ControlKind;

const DialogTemplate& AboutTemplate() {
    static const DialogTemplate t{
        IDD_ABOUTBOX,
        "关于 Tovrel",
        170,
        62,
        "MS Shell Dlg",
        9,
        {
            {IDC_STATIC, K::Icon, "", 14, 14, 21, 20, kStyleNone},
            {IDC_STATIC, K::StaticText, "Tovrel，1.0 版", 42, 14, 114, 8, SS_NOPREFIX},
            {IDOK, K::DefPushButton, "确定", 113, 41, 50, 14, WS_GROUP | WS_TABSTOP},
        }};
    return t;
}

const DialogTemplate& PanelTemplate() {
    static const DialogTemplate t{
        IDD_TOVREL_DIALOG,
        "Tovrel",
        615,
        367,
        "MS Shell Dlg",
        9,
        {
            {IDC_RADIO_TEST, K::AutoRadioButton, "测试模式", 10, 21, 40, 10, WS_GROUP},
            {IDC_RADIO_CALIB, K::AutoRadioButton, "标定模式", 10, 45, 41, 10, kStyleNone},
            {IDC_STATIC, K::GroupBox, "操作", 134, 7, 121, 67, kStyleNone},
            {IDC_STATIC, K::StaticText, "(0-127)", 281, 44, 25, 8, WS_GROUP},
            {IDC_STATIC, K::GroupBox, "模式选择", 6, 7, 46, 68, kStyleNone},
            {IDC_EDIT_COEF1, K::Edit, "", 60, 33, 31, 14, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
            {IDC_STATIC, K::StaticText, "压力系数1", 60, 20, 32, 8, WS_GROUP},
            {IDC_BUTTON_DOWNLOAD, K::PushButton, "下载", 71, 51, 36, 14, WS_TABSTOP},
            {IDC_BUTTON_START, K::PushButton, "启动采样", 176, 36, 35, 14, WS_TABSTOP},
            {IDC_BUTTON_STOP, K::PushButton, "停止采样", 215, 36, 35, 14, WS_TABSTOP},
            {IDC_BUTTON_AMPLIFY, K::PushButton, "放大倍数", 272, 55, 36, 14, WS_TABSTOP},
            {IDC_BUTTON_ZERO, K::PushButton, "校零", 138, 45, 35, 14, WS_TABSTOP},
            {IDC_EDIT_GAIN1, K::Edit, "", 263, 30, 27, 12, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
            {IDC_STATIC, K::GroupBox, "放大倍数", 259, 7, 73, 67, kStyleNone},
            {IDC_STATIC, K::GroupBox, "压力2", 335, 42, 75, 35, kStyleNone},
            {IDC_STATIC_PRESS1, K::StaticBordered, "静态", 339, 16, 69, 22, WS_GROUP | WS_BORDER},
            {IDC_STATIC_PRESS2, K::StaticBordered, "静态", 339, 51, 69, 24, WS_GROUP | WS_BORDER},
            {IDC_EDIT_HISTORY, K::MultiLineEdit, "", 415, 10, 193, 62,
             WS_BORDER | ES_READONLY | WS_VSCROLL | WS_HSCROLL | ES_AUTOHSCROLL | WS_TABSTOP},
            {IDC_FRAME_PULSE2, K::BlackFrame, "", 11, 156, 595, 56, kStyleNone},
            {IDC_STATIC, K::GroupBox, "脉搏1", 7, 75, 601, 72, kStyleNone},
            {IDC_STATIC, K::GroupBox, "脉搏2", 7, 146, 601, 70, kStyleNone},
            {IDC_FRAME_PULSE1, K::BlackFrame, "", 11, 86, 595, 56, kStyleNone},
            {IDC_FRAME_ECG, K::BlackFrame, "", 11, 229, 595, 56, kStyleNone},
            {IDC_STATIC, K::GroupBox, "心电", 7, 220, 601, 70, kStyleNone},
            {IDC_FRAME_HEARTSOUND, K::BlackFrame, "", 11, 300, 595, 56, kStyleNone},
            {IDC_STATIC, K::GroupBox, "心音", 7, 290, 601, 71, kStyleNone},
            {IDC_COMBO_PORT, K::ComboDropList, "", 138, 21, 35, 197,
             CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
            {IDC_MSCOMM1, K::Custom, "", 394, 7, 22, 22, WS_TABSTOP},
            {IDC_STATIC, K::GroupBox, "标定系数", 55, 7, 75, 68, kStyleNone},
            {IDC_EDIT_COEF2, K::Edit, "", 95, 33, 31, 14, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
            {IDC_STATIC, K::StaticText, "压力系数2", 95, 20, 32, 8, WS_GROUP},
            {IDC_STATIC, K::GroupBox, "压力1", 336, 7, 75, 35, kStyleNone},
            {IDC_STATIC, K::StaticText, "1脉搏", 267, 19, 19, 8, WS_GROUP},
            {IDC_STATIC, K::StaticText, "2脉搏", 300, 19, 19, 8, WS_GROUP},
            {IDC_EDIT_GAIN2, K::Edit, "", 296, 30, 27, 12, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
            {IDC_BUTTON_SAVEFILE, K::PushButton, "保存文件", 176, 56, 35, 14, WS_TABSTOP},
            {IDC_BUTTON_STOPSAVE, K::PushButton, "停止保存", 215, 56, 35, 14, WS_TABSTOP},
            {IDC_BUTTON_OPENPORT, K::PushButton, "打开串口", 176, 17, 35, 14, WS_TABSTOP},
            {IDC_BUTTON_CLOSEPORT, K::PushButton, "关闭串口", 215, 17, 35, 14, WS_TABSTOP},
        }};
    return t;
}

QString LoadString(int id) {
    if (id == IDS_ABOUTBOX)
        return QStringLiteral("关于 Tovrel(&A)...");
    return {};
}

static void InitResources() {
    // The icons are compiled into a static library; nothing would pull them
    // into the program without this.
    Q_INIT_RESOURCE(resources);
}

QIcon LoadAppIcon() {
    InitResources();
    QIcon icon;
    for (int size : {16, 24, 32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/tovrel-%1.png").arg(size), QSize(size, size));
    return icon;
}
