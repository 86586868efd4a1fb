#include "resources/Templates.h"

#include "resources/Resource.h"

#include <QCoreApplication>

using K = ControlKind;

const DialogTemplate& AboutTemplate() {
    static const DialogTemplate t{
        IDD_ABOUTBOX,
        QT_TRANSLATE_NOOP("AboutTemplate", "关于 Tovrel"),
        170,
        62,
        "MS Shell Dlg",
        9,
        {
            {IDC_STATIC, K::Icon, "", 14, 14, 21, 20, kStyleNone},
            {IDC_STATIC, K::StaticText, QT_TRANSLATE_NOOP("AboutTemplate", "Tovrel，1.0 版"), 42,
             14, 114, 8, SS_NOPREFIX},
            {IDOK, K::DefPushButton, QT_TRANSLATE_NOOP("AboutTemplate", "确定"), 113, 41, 50, 14,
             WS_GROUP | WS_TABSTOP},
        },
        "AboutTemplate"};
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
            {IDC_RADIO_TEST, K::AutoRadioButton, QT_TRANSLATE_NOOP("PanelTemplate", "测试模式"), 10,
             21, 40, 10, WS_GROUP},
            {IDC_RADIO_CALIB, K::AutoRadioButton, QT_TRANSLATE_NOOP("PanelTemplate", "标定模式"),
             10, 45, 41, 10, kStyleNone},
            {IDC_STATIC, K::GroupBox, QT_TRANSLATE_NOOP("PanelTemplate", "操作"), 134, 7, 121, 67,
             kStyleNone},
            {IDC_STATIC, K::StaticText, "(0-127)", 281, 44, 25, 8, WS_GROUP},
            {IDC_STATIC, K::GroupBox, QT_TRANSLATE_NOOP("PanelTemplate", "模式选择"), 6, 7, 46, 68,
             kStyleNone},
            {IDC_EDIT_COEF1, K::Edit, "", 60, 33, 31, 14, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
            {IDC_STATIC, K::StaticText, QT_TRANSLATE_NOOP("PanelTemplate", "压力系数1"), 60, 20, 32,
             8, WS_GROUP},
            {IDC_BUTTON_DOWNLOAD, K::PushButton, QT_TRANSLATE_NOOP("PanelTemplate", "下载"), 71, 51,
             36, 14, WS_TABSTOP},
            {IDC_BUTTON_START, K::PushButton, QT_TRANSLATE_NOOP("PanelTemplate", "启动采样"), 176,
             36, 35, 14, WS_TABSTOP},
            {IDC_BUTTON_STOP, K::PushButton, QT_TRANSLATE_NOOP("PanelTemplate", "停止采样"), 215,
             36, 35, 14, WS_TABSTOP},
            {IDC_BUTTON_AMPLIFY, K::PushButton, QT_TRANSLATE_NOOP("PanelTemplate", "放大倍数"), 272,
             55, 36, 14, WS_TABSTOP},
            {IDC_BUTTON_ZERO, K::PushButton, QT_TRANSLATE_NOOP("PanelTemplate", "校零"), 138, 45,
             35, 14, WS_TABSTOP},
            {IDC_EDIT_GAIN1, K::Edit, "", 263, 30, 27, 12, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
            {IDC_STATIC, K::GroupBox, QT_TRANSLATE_NOOP("PanelTemplate", "放大倍数"), 259, 7, 73,
             67, kStyleNone},
            {IDC_STATIC, K::GroupBox, QT_TRANSLATE_NOOP("PanelTemplate", "压力2"), 335, 42, 75, 35,
             kStyleNone},
            {IDC_STATIC_PRESS1, K::StaticBordered, QT_TRANSLATE_NOOP("PanelTemplate", "静态"), 339,
             16, 69, 22, WS_GROUP | WS_BORDER},
            {IDC_STATIC_PRESS2, K::StaticBordered, QT_TRANSLATE_NOOP("PanelTemplate", "静态"), 339,
             51, 69, 24, WS_GROUP | WS_BORDER},
            {IDC_EDIT_HISTORY, K::MultiLineEdit, "", 415, 10, 193, 62,
             WS_BORDER | ES_READONLY | WS_VSCROLL | WS_HSCROLL | ES_AUTOHSCROLL | WS_TABSTOP},
            {IDC_FRAME_PULSE2, K::BlackFrame, "", 11, 156, 595, 56, kStyleNone},
            {IDC_STATIC, K::GroupBox, QT_TRANSLATE_NOOP("PanelTemplate", "脉搏1"), 7, 75, 601, 72,
             kStyleNone},
            {IDC_STATIC, K::GroupBox, QT_TRANSLATE_NOOP("PanelTemplate", "脉搏2"), 7, 146, 601, 70,
             kStyleNone},
            {IDC_FRAME_PULSE1, K::BlackFrame, "", 11, 86, 595, 56, kStyleNone},
            {IDC_FRAME_ECG, K::BlackFrame, "", 11, 229, 595, 56, kStyleNone},
            {IDC_STATIC, K::GroupBox, QT_TRANSLATE_NOOP("PanelTemplate", "心电"), 7, 220, 601, 70,
             kStyleNone},
            {IDC_FRAME_HEARTSOUND, K::BlackFrame, "", 11, 300, 595, 56, kStyleNone},
            {IDC_STATIC, K::GroupBox, QT_TRANSLATE_NOOP("PanelTemplate", "心音"), 7, 290, 601, 71,
             kStyleNone},
            {IDC_COMBO_PORT, K::ComboDropList, "", 138, 21, 35, 197,
             CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
            {IDC_MSCOMM1, K::Custom, "", 394, 7, 22, 22, WS_TABSTOP},
            {IDC_STATIC, K::GroupBox, QT_TRANSLATE_NOOP("PanelTemplate", "标定系数"), 55, 7, 75, 68,
             kStyleNone},
            {IDC_EDIT_COEF2, K::Edit, "", 95, 33, 31, 14, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
            {IDC_STATIC, K::StaticText, QT_TRANSLATE_NOOP("PanelTemplate", "压力系数2"), 95, 20, 32,
             8, WS_GROUP},
            {IDC_STATIC, K::GroupBox, QT_TRANSLATE_NOOP("PanelTemplate", "压力1"), 336, 7, 75, 35,
             kStyleNone},
            {IDC_STATIC, K::StaticText, QT_TRANSLATE_NOOP("PanelTemplate", "1脉搏"), 267, 19, 19, 8,
             WS_GROUP},
            {IDC_STATIC, K::StaticText, QT_TRANSLATE_NOOP("PanelTemplate", "2脉搏"), 300, 19, 19, 8,
             WS_GROUP},
            {IDC_EDIT_GAIN2, K::Edit, "", 296, 30, 27, 12, WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP},
            {IDC_BUTTON_SAVEFILE, K::PushButton, QT_TRANSLATE_NOOP("PanelTemplate", "保存文件"),
             176, 56, 35, 14, WS_TABSTOP},
            {IDC_BUTTON_STOPSAVE, K::PushButton, QT_TRANSLATE_NOOP("PanelTemplate", "停止保存"),
             215, 56, 35, 14, WS_TABSTOP},
            {IDC_BUTTON_OPENPORT, K::PushButton, QT_TRANSLATE_NOOP("PanelTemplate", "打开串口"),
             176, 17, 35, 14, WS_TABSTOP},
            {IDC_BUTTON_CLOSEPORT, K::PushButton, QT_TRANSLATE_NOOP("PanelTemplate", "关闭串口"),
             215, 17, 35, 14, WS_TABSTOP},
        },
        "PanelTemplate"};
    return t;
}

// The templates' texts under their other disambiguations (see
// kGroupTitleComment and kFullNameComment), for the translation tools: they
// find a text only where it is marked. The languages that need these give
// them; the others fall back on the plain translation.
[[maybe_unused]] static const struct {
    const char* source;
    const char* comment;
} kAlternateTexts[] = {
    QT_TRANSLATE_NOOP3("PanelTemplate", "放大倍数", "group box"),
    QT_TRANSLATE_NOOP3("PanelTemplate", "测试模式", "full name"),
    QT_TRANSLATE_NOOP3("PanelTemplate", "标定模式", "full name"),
    QT_TRANSLATE_NOOP3("PanelTemplate", "压力系数1", "full name"),
    QT_TRANSLATE_NOOP3("PanelTemplate", "压力系数2", "full name"),
    QT_TRANSLATE_NOOP3("PanelTemplate", "启动采样", "full name"),
    QT_TRANSLATE_NOOP3("PanelTemplate", "停止采样", "full name"),
    QT_TRANSLATE_NOOP3("PanelTemplate", "停止保存", "full name"),
    QT_TRANSLATE_NOOP3("PanelTemplate", "1脉搏", "full name"),
    QT_TRANSLATE_NOOP3("PanelTemplate", "2脉搏", "full name"),
};

QString LoadString(int id) {
    if (id == IDS_ABOUTBOX)
        return QCoreApplication::translate("StringTable", "关于 Tovrel(&A)...");
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
