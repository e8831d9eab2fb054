// The device installation wizard: six steps that fill one DeviceRecord (model, logical name,
// serial port, station address, recovery strategy, summary), checked against the project's other
// devices and, for the address, by the device's own protocol driver.
//
//   DeviceRecord record = ...;  // a scratch copy for a new device, or an element of `devices`
//   if (ondrel::RunDeviceWizard(&record, &devices) == 1) { /* store the record */ }
//
// The record is written step by step as the user leaves each step with Next, so a cancelled
// wizard may already have changed it; the caller keeps or restores it.
#pragma once

#include <array>

#include <QString>

#include "common/device_array.h"
#include "common/records.h"

namespace ondrel {

// Template ids of the six pages, in list order; the frame template is 131.
inline constexpr int kFrameTemplate = 131;
inline constexpr std::array<int, 6> kPageTemplates = {137, 139, 140, 141, 142, 143};

// The frame's title before the first step is on show, and the message-box caption.
inline const QString kWizardCaption = QStringLiteral("驱动安装向导");

// Window titles while step k is current.
inline const std::array<QString, 6> kStepTitles = {
    QStringLiteral("设备配置向导——生产厂家、设备名称、通讯方式"),
    QStringLiteral("设备配置向导——逻辑名称"),
    QStringLiteral("设备配置向导——选择串口号"),
    QStringLiteral("设备配置向导——设备地址设置指南"),
    QStringLiteral("通信参数"),
    QStringLiteral("设备安装向导——信息总结"),
};

// Step 2 for a device on a TCP/IP network: the port number chooses the driver object and
// polling thread the device shares, not a serial line.
inline const QString kNetworkPortStepTitle = QStringLiteral("设备配置向导——选择端口号");
inline const QString kSerialPortPrompt =
    QStringLiteral("你所选择的为串行设备，请选择与设备所连接的串口。");
inline const QString kNetworkPortPrompt = QStringLiteral(
    "你所选择的为网络设备，请选择它使用的端口号：同一端口号上的设备由同一个通讯线程依次访问。"
    "设备的网络地址在下一步设置。");

// Object names of the controls, so tests and accessibility tools can find them.
inline constexpr char kModelListName[] = "modelList";              // step 0, drop-list 5000
inline constexpr char kHeadingName[] = "heading";                  // step 0, static 1018
inline constexpr char kPortPromptName[] = "portPrompt";            // step 2, the static
inline constexpr char kLogicalNameEditName[] = "logicalNameEdit";  // step 1, edit 1031
inline constexpr char kPortComboName[] = "portCombo";              // step 2, combo 1022
inline constexpr char kAddressEditName[] = "addressEdit";          // step 3, edit 1030
inline constexpr char kTestConnectionButtonName[] = "testConnectionButton";  // step 3
inline constexpr char kTestResultLabelName[] = "testResult";                 // step 3
inline constexpr char kRetryEditName[] = "retryEdit";                        // step 4, edit 1023
inline constexpr char kRecoveryEditName[] = "recoveryEdit";                  // step 4, edit 1024
inline constexpr char kOptimizeCheckName[] = "optimizeCheck";      // step 4, check box 1025
inline constexpr char kSummaryModelName[] = "summaryModel";        // step 5, static 1026
inline constexpr char kSummaryNameName[] = "summaryName";          // step 5, static 1027
inline constexpr char kSummaryAddressName[] = "summaryAddress";    // step 5, static 1028
inline constexpr char kSummaryCommKindName[] = "summaryCommKind";  // step 5, static 1029

// Messages of the steps.
inline const QString kMsgDriverLoadFailed = QStringLiteral("驱动加载失败");
inline const QString kMsgNameTaken = QStringLiteral("该驱动的设备名与其他已存在的设备名重名!");
inline const QString kMsgNameTooLong =
    QStringLiteral("设备名太长: 最多 63 个字节(一个汉字占 2 个字节), 请缩短设备名!");
inline const QString kMsgNameNotGbk =
    QStringLiteral("设备名含有不能保存的字符(例如表情符号), 请修改设备名!");
inline const QString kMsgPortTaken = QStringLiteral("该串口号已被其他驱动占用!");
// One serial line carries one framing: RTU and ASCII devices of the Modbus driver never share a
// port.
inline const QString kMsgPortHasRtu =
    QStringLiteral("该串口已连接 Modbus RTU 设备, 不能再连接 Modbus ASCII 设备! 请选择其他串口。");
inline const QString kMsgPortHasAscii =
    QStringLiteral("该串口已连接 Modbus ASCII 设备, 不能再连接 Modbus RTU 设备! 请选择其他串口。");
inline const QString kMsgAddressBad = QStringLiteral("地址格式错误\r\n");
inline const QString kMsgTestWhileRunning =
    QStringLiteral("通讯正在运行，串口已被占用：请先停止通讯，再测试连接。");
inline const QString kMsgTestNoSettings =
    QStringLiteral("没有该串口的通讯设置，无法测试连接（请从工程中打开设备向导）。");
inline const QString kMsgPortText =
    QStringLiteral("串口号格式错误: 请输入 COM 加 1 到 128 之间的数字, 例如 COM3。");
inline const QString kMsgPpiStation =
    QStringLiteral("S7-200(PPI) 的站地址必须是 0 到 126 之间的整数, 例如 2。");
inline const QString kMsgTcpHost = QStringLiteral(
    "Modbus TCP 设备的地址必须包含主机: 主机[:端口][#单元号], 例如 192.168.1.20:502#1。");
inline const QString kMsgAddressNotGbk =
    QStringLiteral("设备地址含有不能保存的字符(例如表情符号), 请修改设备地址!");
inline const QString kMsgAddressTaken = QStringLiteral("设备地址与其他已存在的设备地址重复!");
inline const QString kMsgNotInteger = QStringLiteral("请输入一个整数。");
// %1 and %2 are the limits of the range.
inline const QString kMsgIntRange = QStringLiteral("请输入一个介于 %1 和 %2 之间的整数。");

// The line written to standard output (UTF-8) when the driver accepts an address.
inline constexpr char kTraceAddressAccepted[] = "地址格式正确\r\n";

// Runs the wizard modally on `device`; `devices` (may be null) is read only and used for the
// uniqueness checks, skipping its element at the address `device`. Returns 1 when the wizard
// ended through Finish, 0 otherwise (Cancel, the window closed, a null device, no application
// object, a thread other than the application's, or a wizard already running). Throws nothing.
int RunDeviceWizard(DeviceRecord* device, const talvek::DeviceArray* devices) noexcept;

}  // namespace ondrel
