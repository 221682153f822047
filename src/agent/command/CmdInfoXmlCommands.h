// The catalogue of forwarding commands. They differ only in identity (order name,
// description, log label), so the identities live in one table and each command class is an
// instantiation of one template over its table row. Every class name exists as its own type.
#pragma once

#include <utility>

#include "CmdInfoBaseXmlCmd.h"

namespace zorcee {
namespace command {

enum class XmlCmdId {
    Reboot,
    DispMeasure,
    LossNew,
    SendDevice,
    FileGet,
    FileSend,
    LogSend,
    NwReset,
    EcholDevWrite,
    EcholDevRead,
    BatReset,
    EcholDevReadList,
    OutputCtrlPlantIdCheck,
    TransferOutputCtrlSched,
};

const XmlCmdSpec& xmlCmdSpec(XmlCmdId id);

template <XmlCmdId Id>
class CmdInfoXmlCommand final : public CmdInfoBaseXmlCmd {
  public:
    explicit CmdInfoXmlCommand(picojson::value order)
        : CmdInfoBaseXmlCmd(std::move(order), xmlCmdSpec(Id)) {}
};

using CmdInfoReboot = CmdInfoXmlCommand<XmlCmdId::Reboot>;
using CmdInfoDispMeasure = CmdInfoXmlCommand<XmlCmdId::DispMeasure>;
using CmdInfoLossNew = CmdInfoXmlCommand<XmlCmdId::LossNew>;
using CmdInfoSendDevice = CmdInfoXmlCommand<XmlCmdId::SendDevice>;
using CmdInfoFileGet = CmdInfoXmlCommand<XmlCmdId::FileGet>;
using CmdInfoFileSend = CmdInfoXmlCommand<XmlCmdId::FileSend>;
using CmdInfoLogSend = CmdInfoXmlCommand<XmlCmdId::LogSend>;
using CmdInfoNwReset = CmdInfoXmlCommand<XmlCmdId::NwReset>;
using CmdInfoEcholDevWrite = CmdInfoXmlCommand<XmlCmdId::EcholDevWrite>;
using CmdInfoEcholDevRead = CmdInfoXmlCommand<XmlCmdId::EcholDevRead>;
using CmdInfoBatReset = CmdInfoXmlCommand<XmlCmdId::BatReset>;
using CmdInfoEcholDevReadList = CmdInfoXmlCommand<XmlCmdId::EcholDevReadList>;
using CmdInfoOutputCtrlPlantIdCheck = CmdInfoXmlCommand<XmlCmdId::OutputCtrlPlantIdCheck>;
using CmdInfoTransferOutputCtrlSched = CmdInfoXmlCommand<XmlCmdId::TransferOutputCtrlSched>;

}  // namespace command
}  // namespace zorcee
