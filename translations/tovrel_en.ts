<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>AboutTemplate</name>
    <message>
        <source>关于 Tovrel</source>
        <translation>About Tovrel</translation>
    </message>
    <message>
        <source>Tovrel，1.0 版</source>
        <translation>Tovrel, version 1.0</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>CTovrelDlg</name>
    <message>
        <source>电生理多参数采集软件V1.1.2</source>
        <translation>Multi-parameter Electrophysiology Acquisition V1.1.2</translation>
    </message>
    <message>
        <source>串口打开成功</source>
        <translation>Port opened</translation>
    </message>
    <message>
        <source>设定标定压力系数1为%1,设定标定压力系数2为%2</source>
        <translation>Calibration pressure coefficient 1 set to %1, pressure coefficient 2 set to %2</translation>
    </message>
    <message>
        <source>脉搏1放大倍数设置为%1,脉搏2放大倍数设置为%2</source>
        <translation>Pulse 1 gain set to %1, pulse 2 gain set to %2</translation>
    </message>
    <message>
        <source>串口(COM%1)打开失败,错误号%2</source>
        <translation>Port COM%1 could not be opened, error: %2</translation>
    </message>
    <message>
        <source>串口关闭成功</source>
        <translation>Port closed</translation>
    </message>
    <message>
        <source>串口(COM%1)连接中断</source>
        <translation>Port COM%1: connection lost</translation>
    </message>
    <message>
        <source>文件(%1)写入失败,错误号%2</source>
        <translation>File %1 could not be written, error: %2</translation>
    </message>
    <message>
        <source>文件(%1)打开失败,错误号%2</source>
        <translation>File %1 could not be opened, error: %2</translation>
    </message>
    <message>
        <source>开始保存文件(%1)</source>
        <translation>Saving to file %1</translation>
    </message>
    <message>
        <source>标记%1</source>
        <translation>Marker %1</translation>
    </message>
    <message>
        <source>文件(%1)写入停滞</source>
        <translation>File %1 is not taking writes: the write has not returned</translation>
    </message>
</context>
<context>
    <name>DataExchange</name>
    <message>
        <source>请输入一个整数。</source>
        <translation>Please enter an integer.</translation>
    </message>
    <message>
        <source>请输入一个正整数。</source>
        <translation>Please enter a positive integer.</translation>
    </message>
    <message>
        <source>请输入一个介于 %1 和 %2 之间的整数。</source>
        <translation>Please enter an integer between %1 and %2.</translation>
    </message>
</context>
<context>
    <name>MessageMap</name>
    <message>
        <source>未知错误</source>
        <translation>Unknown error</translation>
    </message>
</context>
<context>
    <name>PanelTemplate</name>
    <message>
        <source>测试模式</source>
        <translation>Test</translation>
    </message>
    <message>
        <source>标定模式</source>
        <translation>Calib.</translation>
    </message>
    <message>
        <source>操作</source>
        <translation>Operation</translation>
    </message>
    <message>
        <source>模式选择</source>
        <translation>Mode</translation>
    </message>
    <message>
        <source>压力系数1</source>
        <translation>Coef. 1</translation>
    </message>
    <message>
        <source>下载</source>
        <translation>Download</translation>
    </message>
    <message>
        <source>启动采样</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止采样</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>放大倍数</source>
        <translation>Set gains</translation>
    </message>
    <message>
        <source>校零</source>
        <translation>Zero</translation>
    </message>
    <message>
        <source>压力2</source>
        <translation>Pressure 2</translation>
    </message>
    <message>
        <source>静态</source>
        <translation>Static</translation>
    </message>
    <message>
        <source>脉搏1</source>
        <translation>Pulse 1</translation>
    </message>
    <message>
        <source>脉搏2</source>
        <translation>Pulse 2</translation>
    </message>
    <message>
        <source>心电</source>
        <translation>ECG</translation>
    </message>
    <message>
        <source>心音</source>
        <translation>Heart sound</translation>
    </message>
    <message>
        <source>标定系数</source>
        <translation>Coefficients</translation>
    </message>
    <message>
        <source>压力系数2</source>
        <translation>Coef. 2</translation>
    </message>
    <message>
        <source>压力1</source>
        <translation>Pressure 1</translation>
    </message>
    <message>
        <source>1脉搏</source>
        <translation>P1</translation>
    </message>
    <message>
        <source>2脉搏</source>
        <translation>P2</translation>
    </message>
    <message>
        <source>保存文件</source>
        <translation>Save file</translation>
    </message>
    <message>
        <source>停止保存</source>
        <translation>Stop save</translation>
    </message>
    <message>
        <source>打开串口</source>
        <translation>Open port</translation>
    </message>
    <message>
        <source>关闭串口</source>
        <translation>Close port</translation>
    </message>
    <message>
        <source>放大倍数</source>
        <comment>group box</comment>
        <translation>Pulse gains</translation>
    </message>
    <message>
        <source>测试模式</source>
        <comment>full name</comment>
        <translation>Test mode</translation>
    </message>
    <message>
        <source>标定模式</source>
        <comment>full name</comment>
        <translation>Calibration mode</translation>
    </message>
    <message>
        <source>压力系数1</source>
        <comment>full name</comment>
        <translation>Pressure coefficient 1</translation>
    </message>
    <message>
        <source>压力系数2</source>
        <comment>full name</comment>
        <translation>Pressure coefficient 2</translation>
    </message>
    <message>
        <source>启动采样</source>
        <comment>full name</comment>
        <translation>Start sampling</translation>
    </message>
    <message>
        <source>停止采样</source>
        <comment>full name</comment>
        <translation>Stop sampling</translation>
    </message>
    <message>
        <source>停止保存</source>
        <comment>full name</comment>
        <translation>Stop saving</translation>
    </message>
    <message>
        <source>1脉搏</source>
        <comment>full name</comment>
        <translation>Pulse 1 gain</translation>
    </message>
    <message>
        <source>2脉搏</source>
        <comment>full name</comment>
        <translation>Pulse 2 gain</translation>
    </message>
</context>
<context>
    <name>PortHints</name>
    <message>
        <source>运行tovrel-ports可列出找到的串口设备,用tovrel-ports set COM%1 设备路径 </source>
        <translation>run tovrel-ports to list the serial devices found and tovrel-ports set COM%1 DEVICE-PATH </translation>
    </message>
    <message>
        <source>COM%1链接到%2,该设备不存在(设备未连接?);%3重新设定</source>
        <translation>COM%1 links to %2, which does not exist (is the device connected?); %3to link it again</translation>
    </message>
    <message>
        <source>COM%1未设置链接%2,即%3,该设备不存在;%4设定COM%1</source>
        <translation>COM%1 has no link%2, so it stands for %3, which does not exist; %4to set COM%1</translation>
    </message>
    <message>
        <source>(%1不是链接)</source>
        <translation> (%1 is not a link)</translation>
    </message>
    <message>
        <source>当前用户%1已加入%2组,但本次登录尚未生效,无权打开%3;请重新登录</source>
        <translation>User %1 has been added to group %2, but not yet in this login session, so may not open %3; log out and in again</translation>
    </message>
    <message>
        <source>当前用户%1不在%2组,无权打开%3;执行sudo adduser %1 %2,重新登录后生效</source>
        <translation>User %1 is not in group %2 and may not open %3; run sudo adduser %1 %2, then log out and in again</translation>
    </message>
    <message>
        <source>当前用户%1无权读写%2(权限%3,所有者%4,组%5)</source>
        <translation>User %1 may not read and write %2 (permissions %3, owner %4, group %5)</translation>
    </message>
</context>
<context>
    <name>Record</name>
    <message>
        <source>原始压力值wStressTmp1=%d,wStressTmp2=%d,压力系数1=%d,压力系数2=%d,新的压力值1=%d,2=%d</source>
        <translation>Raw pressures wStressTmp1=%d,wStressTmp2=%d, coefficient 1=%d, coefficient 2=%d, new pressures 1=%d, 2=%d</translation>
    </message>
</context>
<context>
    <name>StringTable</name>
    <message>
        <source>关于 Tovrel(&amp;A)...</source>
        <translation>&amp;About Tovrel...</translation>
    </message>
</context>
<context>
    <name>SystemMenu</name>
    <message>
        <source>移动(&amp;M)</source>
        <translation>&amp;Move</translation>
    </message>
    <message>
        <source>关闭(&amp;C)	Alt+F4</source>
        <translation>&amp;Close	Alt+F4</translation>
    </message>
</context>
</TS>
