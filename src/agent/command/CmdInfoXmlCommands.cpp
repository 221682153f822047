#include "CmdInfoXmlCommands.h"

namespace zorcee {
namespace command {

namespace {
// In XmlCmdId order.
const XmlCmdSpec kSpecs[] = {
    {"Restart", "ロガー再起動指示", "CmdInfoReboot", "CmdInfoReboot.cpp", false},
    {"GetLatestMeasurementData", "計測値表示指示", "CmdInfoDispMeasure", "CmdInfoDispMeasure.cpp",
     false},
    {"GetMeasurementData", "欠損の再送(新)指示", "CmdInfoLossNew", "CmdInfoLossNew.cpp", true},
    {"SendDeviceCommand", "ロガー送信コマンド実行指示", "CmdInfoSendDevice",
     "CmdInfoSendDevice.cpp", false},
    {"SaveFile", "file_get指示", "CmdInfoFileGet", "CmdInfoFileGet.cpp", true},
    {"UploadFile", "file_send指示", "CmdInfoFileSend", "CmdInfoFileSend.cpp", true},
    {"UploadNormalLog", "log_send指示", "CmdInfoLogSend", "CmdInfoLogSend.cpp", true},
    {"nwreset", "nw_reset指示", "CmdInfoNwReset", "CmdInfoNwReset.cpp", true},
    {"WriteToEchonetDevice", "EchonetLite機器書き込み要求", "WriteToEchonetDevice",
     "CmdInfoEcholDevWrite.cpp", false},
    {"ReadFromEchonetDevice", "EchonetLite機器読み込み要求", "CmdInfoEcholDevRead",
     "CmdInfoEcholDevRead.cpp", false},
    {"ResetStorageBattery", "蓄電池リセット", "CmdInfoBatReset", "CmdInfoBatReset.cpp", false},
    {"ReadListFromEchonetDevice", "EchonetLite機器複数読み込み要求", "CmdInfoEcholDevReadList",
     "CmdInfoEcholDevReadList.cpp", false},
    {"OutputControlPlantIdCheckForLogger", "発電所ID確認(余剰買取制御)",
     "CmdInfoOutputCtrlPlantIdCheck", "CmdInfoOutputCtrlPlantIdCheck.cpp", false},
    {"TransferOutputControlSchedule", "出力制御スケジュール転送指示",
     "CmdInfoTransferOutputCtrlSched", "CmdInfoTransferOutputCtrlSched.cpp", false},
};
static_assert(sizeof kSpecs / sizeof kSpecs[0] ==
                  static_cast<size_t>(XmlCmdId::TransferOutputCtrlSched) + 1,
              "one row per forwarding command");
}  // namespace

const XmlCmdSpec& xmlCmdSpec(XmlCmdId id) {
    return kSpecs[static_cast<size_t>(id)];
}

}  // namespace command
}  // namespace zorcee
